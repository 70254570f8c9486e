#pragma once
// The virtual device's protocol logic, free of any I/O: it is fed the bytes the
// host sends and hands back the bytes it wants to send, each released only when
// its time has come. The pty loop (sim_runner) moves those bytes; the tests
// drive this class directly.

#include "protocol/wire.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace flash3sim {

using Clock = std::chrono::steady_clock;

// One exchange of an image, in the order the host plays them.
struct Record {
    enum Kind { Send, Answer, LineEnd };
    Kind kind;
    uint8_t value;      // the byte for Send/Answer; 0 for LineEnd
    std::size_t offset; // where the record starts in the file
};

struct ParsedImage {
    std::vector<Record> records;
    std::size_t sendCount = 0;      // bytes the host will send
    std::size_t answerCount = 0;    // bytes the device will send back
    std::size_t skipped = 0;        // records the host ignores
    std::size_t invalidDigits = 0;  // hex digits that count as 0
    bool endsEarly = false;         // a line end without CR LF stopped the image
    std::size_t endOffset = 0;      // offset of that record when endsEarly
    std::size_t trailing = 0;       // bytes of an incomplete last record
};

// Reads records exactly as the host plays them: 4 characters at a time; a
// record whose 4th character is not ':' is skipped, as is an unknown type; a
// bad hex digit counts as 0; an E record that is not CR LF ends the image.
ParsedImage parseImage(const std::string& bytes);
bool loadImage(const std::string& path, ParsedImage& image, std::string& error);

// One step of the handshake reply: a byte, or a pause before the next one.
struct ReplyStep {
    bool isWait;
    int waitMs;
    uint8_t byte;
    bool operator==(const ReplyStep& o) const
    {
        return isWait == o.isWait && waitMs == o.waitMs && byte == o.byte;
    }
};

// "91,w55,26" -> 91, pause 55 ms, 26; "none" -> no reply at all.
bool parseReply(const std::string& text, std::vector<ReplyStep>& steps, std::string& error);

struct DeviceConfig {
    std::vector<ReplyStep> reply{{false, 0, flash3::EntryReply[0]}, {false, 0, flash3::EntryReply[1]}};
    int noise = 0;         // random bytes before the reply
    uint32_t seed = 1;     // for the noise
    int wrongAnswer = 0;   // 1-based answer to corrupt; 0 = none
    int noAnswer = 0;      // 1-based answer to withhold; 0 = none
    int delayMs = 0;       // pause before every answer and before the reply
    int unplugAt = -1;     // record at which the device vanishes; -1 = never
};

struct DeviceStats {
    std::size_t received = 0;      // every byte from the host, entry included
    bool handshakeSeen = false;
    std::size_t expected = 0;      // bytes the image wants from the host
    std::size_t checked = 0;       // bytes compared against the image so far
    std::size_t matched = 0;
    std::size_t mismatches = 0;
    std::size_t firstMismatchIndex = 0;  // among the image's host bytes, from 0
    uint8_t firstMismatchExpected = 0;
    uint8_t firstMismatchGot = 0;
    std::size_t firstMismatchOffset = 0; // file offset of that record
    std::size_t extra = 0;         // bytes after the image had finished
    std::size_t echoed = 0;        // without an image: bytes answered
    std::size_t answersSent = 0;   // answers queued (image or echo)
    std::size_t answersSpoiled = 0; // answers withheld or inverted on purpose
    std::size_t recordsDone = 0;
    std::size_t recordCount = 0;
    bool completed = false;
    bool unplugged = false;
};

class Device {
public:
    // `image` may be null: the device then echoes every byte after the entry.
    // It must outlive the device.
    Device(DeviceConfig config, const ParsedImage* image);

    // Back to the state before any byte was received (for the next session).
    void reset();

    void receive(const uint8_t* data, std::size_t count);
    // Appends to `out` every byte whose time has come by `now`. A pause starts
    // when pump() first reaches it, so call pump() after every receive().
    void pump(Clock::time_point now, std::vector<uint8_t>& out);
    // When pump() next has something to release; false if nothing is pending
    // on a pause.
    bool nextDue(Clock::time_point& when) const;
    bool hasPendingOutput() const { return !queue_.empty(); }

    // The device reached the record it was told to vanish at and everything
    // before it has gone out: the caller should close the line now.
    bool wantsUnplug() const { return unplugPending_ && queue_.empty(); }
    void markUnplugged() { stats_.unplugged = true; }

    const DeviceStats& stats() const { return stats_; }
    bool hasImage() const { return image_ != nullptr; }
    // Image completed with every byte matching, nothing more sent and every
    // answer given as due: the host had every reason to report success.
    // Without an image, the handshake was seen. Never after an unplug.
    bool passed() const;
    // One line, starting "flash3-sim: received N bytes, ...".
    std::string summary() const;

private:
    void onEntry();
    void advance();
    void answer(uint8_t value);
    void takeImageByte(uint8_t b);
    void takeEchoByte(uint8_t b);

    DeviceConfig config_;
    const ParsedImage* image_;
    DeviceStats stats_;
    bool lastWasE1_ = false;
    std::size_t cursor_ = 0;      // next record of the image
    bool unplugPending_ = false;

    std::deque<ReplyStep> queue_;
    bool waiting_ = false;        // the queue head is a pause that has started
    Clock::time_point waitUntil_{};
};

// How many bytes at the end of `data` could be the start of an entry: 2 for a
// closing E1 94, 1 for a closing E1, else 0. A host that has just opened the
// line sends nothing else before it hears the reply.
std::size_t entryBytesAtEnd(const uint8_t* data, std::size_t count);

// Deterministic pseudo-random bytes (xorshift32) so runs and files repeat.
class ByteSource {
public:
    explicit ByteSource(uint32_t seed);
    uint8_t next();

private:
    uint32_t state_;
};

} // namespace flash3sim
