#pragma once
// How the last run ended, in data: not shown in the window (its logs say it
// in the system's own lines), but what the CLI's verdict line is made from.

#include "image/image_check.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace flash3 {

enum class RunOutcome { None, Completed, Failed, Aborted };

// Where a run is: one in progress by its step, one that is over by how it
// ended (Refused: ended before its first byte for want of what a run needs).
// Waiting until the first run.
enum class RunPhase { Waiting, Refused, Checking, Handshake, Sending, Completed, Failed, Aborted };

enum class FailureCause {
    None,
    // the run was refused before any byte was sent
    CannotOpenImage,
    ImageTooLarge,
    ImageEmpty,
    PortNotOpen,
    PortGone,          // the device went away in an earlier run; the port must be set up again
    ImageFaults,
    ChecksumFileUnusable,  // the checksum file beside the image cannot be read or makes no sense
    ImageDigestMismatch,   // the image's SHA-256 is not the one published with it
    // the run failed
    SendFailed,        // the driver refused a byte (driverStatus)
    DeviceGone,        // the device went away during the run (unplugged, powered off)
    EntryRejected,     // the reply to E1 94 was not 91 26 (replyBytes, reply0, reply1)
    WrongAnswer,       // expected, received
    NoAnswer,          // expected
    BadLineEnd,        // an E record without CR LF
    IncompleteRecord,  // the file ends inside a record
    ImageReadError,
    ImageChanged,      // the file is no longer what was checked
    InvalidMode,       // mode
    LineNeverQuiet,    // the device kept sending after the entry bytes (flash3-cli --timeout)
};

struct RunReport {
    bool started = false;  // the entry bytes were due: the run got past every refusal
    FailureCause cause = FailureCause::None;
    int32_t expected = 0;
    int32_t received = 0;
    int32_t driverStatus = 0;
    int replyBytes = 0;
    int32_t reply0 = 0;
    int32_t reply1 = 0;
    int32_t mode = 0;
    // The record read last when the run ended: its number (0: none yet) and
    // the line and column of its first character.
    int32_t record = 0;
    int32_t records = 0;  // RecordsTotal
    int64_t line = 0;
    int64_t column = 0;
    int64_t bytesSent = 0;  // image bytes handed to the driver (entry bytes not counted)
    // What the check before the run found.
    int64_t faultyRecords = 0;
    std::optional<ImageFault> firstFault;
    bool lineEndsConverted = false;  // its faults began with a converted line end (LF or CR alone)
    // Why the image could not be opened, to follow its name in a sentence
    // ("cannot be opened: Permission denied", "is a FIFO, not a regular file").
    QString imageOpenError;
    // The known digest that refused the run: where it is from ("--sha256",
    // "fw.pf3.sha256") and, for a checksum file that cannot be used, why.
    QString digestSource;
    QString digestProblem;
    // For a run that failed or was refused, the Debug line that says what
    // went wrong: the last before the run's "Stop time:" (or before the
    // refusal), hints aside, unless the run was ended with a reason of its
    // own (Form1::abortRun).
    QString errorLine;
};

} // namespace flash3
