#include "sim_device.h"

#include "image/record.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flash3sim {

namespace {

constexpr uint8_t kEntryFirst = flash3::EntryBytes[0];
constexpr uint8_t kEntrySecond = flash3::EntryBytes[1];

std::string notRegularFile(mode_t mode)
{
    const char* what = S_ISDIR(mode) ? "a directory"
        : S_ISFIFO(mode)             ? "a FIFO"
        : S_ISCHR(mode)              ? "a character device"
        : S_ISBLK(mode)              ? "a block device"
        : S_ISSOCK(mode)             ? "a socket"
                                     : "something else";
    return std::string("is ") + what + ", not a regular file";
}

} // namespace

ByteSource::ByteSource(uint32_t seed)
{
    // Scramble the seed: xorshift started from a small number gives small
    // numbers for a while, and 0 would stay 0 for ever.
    uint32_t x = seed + 0x9E3779B9u;
    x = (x ^ (x >> 16)) * 0x85EBCA6Bu;
    x = (x ^ (x >> 13)) * 0xC2B2AE35u;
    x ^= x >> 16;
    state_ = x ? x : 0x6D2B79F5u;
}

uint8_t ByteSource::next()
{
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<uint8_t>(state_ >> 24);
}

ParsedImage parseImage(const std::string& bytes)
{
    using flash3::RecordKind;
    ParsedImage image;
    const std::size_t whole = bytes.size() / flash3::RecordSize * flash3::RecordSize;
    image.trailing = bytes.size() - whole;
    for (std::size_t at = 0; at < whole; at += flash3::RecordSize) {
        const flash3::ImageRecord r = flash3::readRecord(bytes.data() + at);
        if (r.kind == RecordKind::Send || r.kind == RecordKind::Expect) {
            // The only faults of these are bad digits, each counted as 0.
            image.invalidDigits += static_cast<std::size_t>(r.faultCount);
            const Record::Kind kind = r.kind == RecordKind::Send ? Record::Send : Record::Answer;
            image.records.push_back({kind, r.value, at});
            ++(kind == Record::Send ? image.sendCount : image.answerCount);
        } else if (r.kind == RecordKind::LineEnd) {
            if (r.faulty()) {
                // The host stops playing here, so nothing after it is exchanged.
                image.endsEarly = true;
                image.endOffset = at;
                image.trailing = 0;
                break;
            }
            image.records.push_back({Record::LineEnd, 0, at});
        } else {
            ++image.skipped;
        }
    }
    return image;
}

bool loadImage(const std::string& path, ParsedImage& image, std::string& error)
{
    // Only a regular file is an image: a FIFO would block open() for ever and
    // a device such as /dev/zero would be read without end. Looked at before
    // it is opened and again once it is, opened without blocking.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = path + " " + notRegularFile(st.st_mode);
        return false;
    }
    int fd = -1;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::fstat(fd, &st) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " " + notRegularFile(st.st_mode);
        ::close(fd);
        return false;
    }
    std::string bytes;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    image = parseImage(bytes);
    return true;
}

bool parseReply(const std::string& text, std::vector<ReplyStep>& steps, std::string& error)
{
    steps.clear();
    if (text == "none")
        return true;
    std::stringstream in(text);
    std::string token;
    bool any = false;
    while (std::getline(in, token, ',')) {
        any = true;
        if (token.empty()) {
            error = "empty token in reply \"" + text + "\"";
            return false;
        }
        char* end = nullptr;
        if (token[0] == 'w' || token[0] == 'W') {
            errno = 0;
            const long ms = std::strtol(token.c_str() + 1, &end, 10);
            if (token.size() == 1 || *end != '\0' || errno != 0 || ms < 0 || ms > 600000) {
                error = "bad pause \"" + token + "\" (want wMS, MS from 0 to 600000)";
                return false;
            }
            steps.push_back({true, static_cast<int>(ms), 0});
            continue;
        }
        const long value = std::strtol(token.c_str(), &end, 16);
        if (token.size() > 2 || !std::isxdigit(static_cast<unsigned char>(token[0])) || *end != '\0') {
            error = "bad byte \"" + token + "\" (want one or two hex digits)";
            return false;
        }
        steps.push_back({false, 0, static_cast<uint8_t>(value)});
    }
    // getline yields nothing for "" and drops one trailing empty field.
    if (!any || text.back() == ',') {
        error = "empty token in reply \"" + text + "\"";
        return false;
    }
    return true;
}

Device::Device(DeviceConfig config, const ParsedImage* image)
    : config_(std::move(config)), image_(image)
{
    reset();
}

void Device::reset()
{
    stats_ = DeviceStats{};
    if (image_) {
        stats_.expected = image_->sendCount;
        stats_.recordCount = image_->records.size();
    }
    lastWasE1_ = false;
    cursor_ = 0;
    unplugPending_ = false;
    queue_.clear();
    waiting_ = false;
}

void Device::receive(const uint8_t* data, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t b = data[i];
        ++stats_.received;
        if (unplugPending_ || stats_.unplugged)
            continue;  // about to vanish: nothing more is looked at
        if (!stats_.handshakeSeen) {
            if (lastWasE1_ && b == kEntrySecond)
                onEntry();
            lastWasE1_ = b == kEntryFirst;
            continue;
        }
        if (image_)
            takeImageByte(b);
        else
            takeEchoByte(b);
    }
}

void Device::onEntry()
{
    stats_.handshakeSeen = true;
    if (config_.unplugAt == 0) {
        unplugPending_ = true;
        return;
    }
    if (config_.delayMs > 0)
        queue_.push_back({true, config_.delayMs, 0});
    if (config_.noise > 0) {
        ByteSource source(config_.seed);
        std::vector<uint8_t> noise(static_cast<std::size_t>(config_.noise));
        for (auto& b : noise)
            b = source.next();
        // Noise that happened to end like the reply would be taken for it.
        const std::size_t n = noise.size();
        if (n >= 2 && noise[n - 2] == flash3::EntryReply[0] && noise[n - 1] == flash3::EntryReply[1])
            noise[n - 1] = 0x27;
        for (uint8_t b : noise)
            queue_.push_back({false, 0, b});
    }
    for (const ReplyStep& step : config_.reply)
        queue_.push_back(step);
    if (image_)
        advance();
}

// Moves through the records that need nothing from the host (line ends and
// answers) up to the next byte the host must send, or the end of the image.
void Device::advance()
{
    const auto& records = image_->records;
    while (cursor_ < records.size()) {
        if (config_.unplugAt > 0 && cursor_ + 1 == static_cast<std::size_t>(config_.unplugAt)) {
            unplugPending_ = true;
            return;
        }
        const Record& r = records[cursor_];
        if (r.kind == Record::Send)
            return;
        if (r.kind == Record::Answer)
            answer(r.value);
        ++cursor_;
        stats_.recordsDone = cursor_;
    }
    stats_.completed = true;
}

void Device::answer(uint8_t value)
{
    const int index = static_cast<int>(++stats_.answersSent);
    if (index == config_.noAnswer) {
        ++stats_.answersSpoiled;
        return;
    }
    if (index == config_.wrongAnswer) {
        ++stats_.answersSpoiled;
        value ^= 0xFF;
    }
    if (config_.delayMs > 0)
        queue_.push_back({true, config_.delayMs, 0});
    queue_.push_back({false, 0, value});
}

void Device::takeImageByte(uint8_t b)
{
    if (stats_.completed) {
        ++stats_.extra;
        return;
    }
    const Record& r = image_->records[cursor_];
    if (r.value == b) {
        ++stats_.matched;
    } else {
        if (stats_.mismatches == 0) {
            stats_.firstMismatchIndex = stats_.checked;
            stats_.firstMismatchExpected = r.value;
            stats_.firstMismatchGot = b;
            stats_.firstMismatchOffset = r.offset;
        }
        ++stats_.mismatches;
    }
    ++stats_.checked;
    ++cursor_;
    stats_.recordsDone = cursor_;
    advance();
}

void Device::takeEchoByte(uint8_t b)
{
    // Without an image each received byte plays the part of a record.
    if (config_.unplugAt > 0 && stats_.echoed + 1 == static_cast<std::size_t>(config_.unplugAt)) {
        unplugPending_ = true;
        return;
    }
    ++stats_.echoed;
    answer(b);
}

std::size_t entryBytesAtEnd(const uint8_t* data, std::size_t count)
{
    if (count >= 1 && data[count - 1] == kEntryFirst)
        return 1;
    if (count >= 2 && data[count - 2] == kEntryFirst && data[count - 1] == kEntrySecond)
        return 2;
    return 0;
}

void Device::pump(Clock::time_point now, std::vector<uint8_t>& out)
{
    while (!queue_.empty()) {
        const ReplyStep& head = queue_.front();
        if (!head.isWait) {
            out.push_back(head.byte);
            queue_.pop_front();
            continue;
        }
        if (!waiting_) {
            waiting_ = true;
            waitUntil_ = now + std::chrono::milliseconds(head.waitMs);
        }
        if (now < waitUntil_)
            return;
        waiting_ = false;
        queue_.pop_front();
    }
}

bool Device::nextDue(Clock::time_point& when) const
{
    if (queue_.empty())
        return false;
    if (queue_.front().isWait && waiting_) {
        when = waitUntil_;
        return true;
    }
    // A byte, or a pause not started yet: pump() has work right away.
    when = Clock::time_point::min();
    return true;
}

bool Device::passed() const
{
    if (stats_.unplugged)
        return false;
    if (!image_)
        return stats_.handshakeSeen;
    return stats_.handshakeSeen && stats_.completed && stats_.mismatches == 0 && stats_.extra == 0
        && stats_.answersSpoiled == 0;
}

std::string Device::summary() const
{
    const DeviceStats& s = stats_;
    std::string line = "flash3-sim: received " + std::to_string(s.received) + " bytes, matched "
        + std::to_string(s.matched) + " of " + std::to_string(s.expected) + " expected; ";
    if (s.mismatches == 0) {
        line += "no mismatch";
    } else {
        line += "first mismatch at byte " + std::to_string(s.firstMismatchIndex) + ": expected "
            + flash3::hexByte(s.firstMismatchExpected) + " got " + flash3::hexByte(s.firstMismatchGot) + " ("
            + std::to_string(s.mismatches) + " in all, record at file offset "
            + std::to_string(s.firstMismatchOffset) + ")";
    }
    if (!s.handshakeSeen) {
        line += "; no handshake";
    } else if (!image_) {
        line += "; no image: handshake seen, echoed " + std::to_string(s.echoed) + " bytes";
    } else if (s.completed) {
        line += "; image completed";
    } else {
        line += "; image not completed (at record " + std::to_string(s.recordsDone + 1) + " of "
            + std::to_string(s.recordCount) + ")";
    }
    if (s.extra > 0)
        line += "; " + std::to_string(s.extra) + " bytes after the end of the image";
    if (s.answersSpoiled > 0)
        line += "; " + std::to_string(s.answersSpoiled) + " answer(s) withheld or inverted";
    if (s.unplugged)
        line += "; device unplugged";
    return line;
}

} // namespace flash3sim
