#pragma once
// The main window's state and routines: the shared variables every subsystem
// reads and writes, the two logs, the tick dispatcher and run control. The
// routines are spread over the subsystem folders (protocol/, image/, serial/)
// but all work on this one set of variables, on one thread.

#include "app/run_report.h"
#include "app/window_model.h"
#include "image/checksum_file.h"
#include "image/image_file.h"
#include "image/record.h"
#include "serial/driver.h"
#include "ports/port_hints.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace flash3 {

// Flags hold -1 for True and 0 for False, never another value.
constexpr int16_t True = -1;
constexpr int16_t False = 0;

// ProgramMode: the step the tick runs, named after it. The numbers are the
// ones the logs print ("Program Mode = 101", "ProgramMode unexpected: 3").
enum class RunMode : int16_t {
    Idle = 0,               // no run
    Transmit = 1,           // TransmitStep: a byte of the image is to be sent
    Verify = 2,             // VerifyStep: a byte from the device is expected
    CheckingImage = 100,    // CheckImageStep: a large image is checked before any byte is sent
    SendEntryByte1 = 101,   // the handshake's first byte
    SendEntryByte2 = 102,   // its second byte
    AwaitEntryReply = 103,  // the device's reply, until the line falls quiet
};

// The mode's number, as the logs print it.
inline int modeNumber(RunMode mode)
{
    return static_cast<int>(mode);
}

// A text of exactly N characters: shorter values are padded with blanks, longer cut.
template <int N>
class FixedText {
public:
    FixedText() { chars_.fill(' '); }
    void assign(const char* data, int count) {
        for (int i = 0; i < N; ++i) chars_[static_cast<std::size_t>(i)] = i < count ? data[i] : ' ';
    }
    char at(int i) const { return chars_[static_cast<std::size_t>(i)]; }
    QString toString() const { return QString::fromLatin1(chars_.data(), N); }
    bool operator==(const char* s) const { return std::char_traits<char>::compare(chars_.data(), s, N) == 0; }
    bool operator!=(const char* s) const { return !(*this == s); }

private:
    std::array<char, N> chars_{};
};

// What the file-open dialog is asked to look like; made afresh on every click.
struct FileDialogSettings {
    QString initialName = QStringLiteral("*.pf3");
    QString filter = QStringLiteral("PF3 Files (*.pf3)");
    int filterIndex = 1;
    QString defaultSuffix = QStringLiteral("pf3");
    QString folder;           // the working directory at the moment of the click
    bool hideReadOnly = true; // option value 4
    bool fileMustExist = false;
};

class ImageCheck;

class Form1 {
public:
    explicit Form1(SerialDriver& driver);
    ~Form1();
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    WindowModel& window() { return window_; }
    const WindowModel& window() const { return window_; }

    // ---- start-up and logs (app/form1.cpp, app/startup.cpp) ----
    void InitVariables();
    void PostMsg1(const QString& Msgx);
    void PostMsg2(const QString& Msgy);

    // ---- tick dispatcher and run control (app/form1.cpp) ----
    void Timer2_Timer();
    // After every tick: with queued transmit (a station), what the tick
    // queued goes out now; a failure ends the run as a byte refused by
    // PutByte does. Nothing to do otherwise.
    void EndOfTick() { sendQueuedBytes(); }
    void ProgramFlash_Click();
    void AbortProgram_Click();
    // Where the run is: by its mode while one runs, by how the last one ended otherwise.
    RunPhase phase() const;
    // Ends the run as failed with `cause`, for a reason only the caller sees
    // (flash3-cli bounds the wait for a quiet line, and compares the image it
    // names with the one checked): `why` is posted as a hint and is the run's
    // error line. Ended before its first entry byte, the run counts as
    // refused: nothing was sent. A run that has just completed is failed
    // after the fact. Between ticks only: false (nothing done) during a tick,
    // or with no run in progress or just completed.
    bool abortRun(FailureCause cause, const QString& why);
    // "Exit / Abort" for a program that must leave: pressed once more, should
    // it be refused (a tick or a write in progress), so no port stays open.
    void exitNow();
    // The last Debug line that is not a hint: what went wrong, if anything did.
    const QString& LastErrorLine() const { return lastErrorLine_; }
    void ClearStatus_Click();
    void ClearDebug_Click();
    void EndRun();
    // Reopens FileName at its start and counts its records; a failure is left to the caller.
    enum class OpenResult { Opened, CannotOpen, TooLarge };
    OpenResult OpenImageFile();
    // OpenImageFile for a run: says in the Debug log why an image cannot be
    // run (cannot be opened, too large, no records) and returns false then.
    bool OpenImageForRun();

    // ---- the check of the whole image before a run (image/preflight.cpp) ----
    void CheckImageStep();
    // The next "Program FLASH" takes this check of the image instead of
    // reading the file again (a station checks its image once for all its
    // ports), as long as the file it opens is still the file checked.
    void useCheckedImage(std::shared_ptr<const CheckedImage> checked) { precheck_ = std::move(checked); }

    // ---- entry handshake (protocol/handshake.cpp) ----
    void SendEntryByte1();
    void SendEntryByte2();
    void AwaitEntryReply();

    // ---- transmit and verify (protocol/transfer.cpp) ----
    void TransmitStep();
    void VerifyStep();

    // ---- image reader and file selection (image/) ----
    void ReadNextRecord();
    void SelectInputFile_Click();
    // The image chosen without the dialog, used as given (flash3-cli's
    // IMAGE): shown in the file box, opened by "Program FLASH".
    void chooseImageFile(const QString& path);
    // Shows the file-open dialog; returns the chosen path, or nothing when cancelled.
    std::function<std::optional<QString>(const FileDialogSettings&)> showOpenDialog;

    // ---- serial link (ports/com_port.cpp) ----
    void InitComPort();
    void FlushBuffers();
    void ReadByteIfAny();
    void SendTxByte();
    void ClosePort(LogId successLog);

    // ---- COM port parameters dialog (app/port_dialog.cpp) ----
    void ConfigComPort_Click();
    void ComBaudBtn_Click(int index);
    void Initialize_Click();
    void Cancel1_Click();

    // ---- shared state ----
    int32_t ComPort = 4;
    int16_t ComSpeed = 4;
    QString CommandLine;
    QString FileName;
    int16_t FileMode = 0;
    QString Msg;
    int16_t PortOpen = False;
    int16_t PortBusy = False;
    int32_t PortIndex = 3;
    PortParamRecord PortParams;
    int32_t DrvStatus = 0;
    int32_t RxByte = -1;
    int32_t TxByte = 0;
    int32_t RecordsLeft = 0;
    int32_t RecordsTotal = 0;
    int32_t RecordsDone = 0;
    float FractionDone = 0;
    FixedText<1> RecType;
    FixedText<2> RecData;
    FixedText<1> RecSep;
    int16_t LastByte0 = 0;
    int16_t LastByte1 = 0;
    RunMode ProgramMode = RunMode::Idle;
    int16_t IsrActive = False;
    int32_t ExpectedByte = 0;
    int16_t TimeoutCount = 36;
    int16_t TimeoutReload = 36;
    int16_t AbortPending = False;
    QString TimeNow;
    QString TimeShown;
    ImageFileHandle ImageFile;

    // The BLAKE2b-256 digest of the image as the last run's check read it.
    const QByteArray& CheckedDigest() const { return checkedDigest_; }

    RunOutcome LastRunOutcome = RunOutcome::None;
    RunReport LastRunReport;
    // Run an image with faulty records the way the reader handles them (skip
    // the record, take a bad digit as 0) instead of refusing it.
    bool AllowFaultyImage = false;
    // The SHA-256 the image must have (hex, any case; empty: none), besides
    // the one of a checksum file beside the image (flash3-cli --sha256).
    QString RequiredSha256;
    // Whose controls the hints name: the desktop's buttons, or what to run
    // for flash3-cli.
    HintsFor Hints = HintsFor::Desktop;

    // flash3-cli's settings: hints name what to run, --force, --sha256.
    void configureForCli(bool allowFaultyImage, const QString& requiredSha256)
    {
        Hints = HintsFor::Cli;
        AllowFaultyImage = allowFaultyImage;
        RequiredSha256 = requiredSha256;
    }

    // Bytes checked per slice: a slice takes a few milliseconds.
    static constexpr int64_t CheckSliceBytes = 1 << 20;

private:
    void showProgress();
    // Sends one entry byte; false (the run failed) when it cannot be sent.
    bool sendEntryByte(uint8_t byte);
    // Hands what is queued to the OS; false (the run failed) when it cannot be sent.
    bool sendQueuedBytes();
    void endRunAs(RunOutcome outcome);
    // A run refused before its first byte: why, and its last Debug line.
    void refuseAs(FailureCause cause);
    // Records why the run fails, then ends it.
    void failRun(FailureCause cause);
    // Ends the reading at the end of the file (leftover characters decide how).
    void endOfImage(int leftover, const char* chars);
    void imageEnded();
    void imageReadFailed();
    // A faulty record met in a run whose image was checked clean: the file
    // changed. Ends the run (and returns true) unless faulty images are allowed.
    bool faultyRecordEndsRun();
    void imageChanged();

    // Debug lines beginning "Hint: " that say what to do next (protocol/run_hints.cpp).
    void postHint(const QString& text);
    void postRunHints(FailureCause cause);
    QString portText() const;

    void beginImageCheck();
    // Refuses the run (false) when a checksum file beside the image cannot be used.
    bool lookUpKnownDigests();
    void finishImageCheck();
    void imageChecked(const CheckedImage& checked);
    // The Debug line after "Cannot open input file": why.
    void postImageOpenHint(const QString& why);
    void cancelImageCheck();
    void refuseRun();
    void startRun();
    void setFraction();
    // Counters and progress boxes for a freshly opened image of `records` records.
    void startCount(int32_t records);
    QString tooLargeLine() const;

    WindowModel window_;
    SerialDriver& driver_;
    RunOutcome pendingOutcome_ = RunOutcome::Failed;

    std::unique_ptr<ImageCheck> imageCheck_;
    std::shared_ptr<const CheckedImage> precheck_;
    QList<KnownDigest> knownDigests_;
    QByteArray checkedDigest_;
    FileIdentity checkedIdentity_;
    // Where the reader stands in the text of the image.
    RecordCursor cursor_;
    int replyBytes_ = 0;
    std::vector<int> replyTail_;  // the last bytes of the entry reply, for a hint
    // The device went away (I/O error) since the port was opened: nothing
    // more can go through this port until it is set up again.
    bool portGone_ = false;
    bool portMapWarned_ = false;
    QString lastErrorLine_;
};

} // namespace flash3
