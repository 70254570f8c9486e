#pragma once
// The pseudo-terminal side of the virtual device: a clean raw line, the
// link that names it, and telling when a host opens it anew.

#include <cstddef>
#include <string>

namespace flash3sim {

// Tells whether anyone has opened the slave since the last look. POLLHUP on
// the master only says whether the slave is open at the moment poll() looks:
// a host that closes and opens again between two looks leaves no trace there.
// inotify does: the kernel queues IN_OPEN inside open() itself, so the event
// is there before the new opener can write a single byte.
class OpenWatch {
public:
    OpenWatch() = default;
    ~OpenWatch() { stop(); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool start(const std::string& path, std::string& error);
    void stop();
    bool active() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Our own opens (see resetSlave) are not the host's.
    void ownOpen() { ++ownOpens_; }

    // Takes in the queued events; opens by others since the watch started.
    // inotify merges identical events in a row, so the count may fall short,
    // but it grows whenever someone opened the slave since the last look;
    // only an open that coincides with one of ours can go unseen, and ours
    // come between sessions, when there is no session for it to end.
    std::size_t hostOpens();

private:
    int fd_ = -1;
    std::size_t ownOpens_ = 0;
    std::size_t hostOpens_ = 0;
};

bool setRaw(int fd);

// Puts the slave side back to a clean raw line. Opening and closing it also
// leaves the master reporting POLLHUP, which is how host presence is told: a
// pty master that never had its slave open does not report it.
bool resetSlave(const std::string& slavePath, std::string& error, OpenWatch* watch = nullptr);

bool makeLink(const std::string& link, const std::string& target, std::string& error);

// Removes the link only while it still names our pty: another sim may have
// taken the name over since.
void removeLink(const std::string& link, const std::string& target);

} // namespace flash3sim
