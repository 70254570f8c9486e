#pragma once
// The pseudo-terminal side of the virtual device: a clean raw line, the
// link that names it, and telling when a host opens it anew.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace flash3sim {

class OpenWatch;

// The inotify instance that OpenWatches share. The system grants a user few
// instances (128 by default), and a station of devices needs a watch for each
// of its terminals, so they all read one: whoever looks next takes in every
// queued event and credits each to its own watch. The fd is readable whenever
// some terminal was opened since that look.
class WatchHub {
public:
    WatchHub() = default;
    ~WatchHub();
    WatchHub(const WatchHub&) = delete;
    WatchHub& operator=(const WatchHub&) = delete;

    int fd() const { return fd_; }

private:
    friend class OpenWatch;
    void drainLocked();

    std::mutex mutex_;
    int fd_ = -1;
    std::map<int, OpenWatch*> watches_;  // by watch descriptor
};

// Tells whether a host has opened the slave anew since the last look. POLLHUP
// on the master only says whether the slave is open at the moment poll()
// looks: a host that closes and opens again between two looks leaves no trace
// there. inotify does: the kernel queues IN_OPEN inside open() itself, once
// the terminal is open, so the event is there before the new opener can write
// a single byte, and IN_CLOSE_* before the close reaches the terminal.
// Only an open that finds the line free starts a session: one that comes
// while the host holds the line is someone else's, opening and closing again
// (a second program refused the port, a probe), and must not end the session.
class OpenWatch {
public:
    explicit OpenWatch(WatchHub& hub) : hub_(hub) {}
    ~OpenWatch() { stop(); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool start(const std::string& path, std::string& error);
    void stop();
    bool active() const { return active_.load(); }
    // Readable when an open may be waiting to be taken in (perhaps another
    // watch's: hostOpens() sorts that out).
    int fd() const { return hub_.fd(); }

    // One of our own opens (see resetSlave) is coming, and it is not the
    // host's. Said before the open: once it is queued, another watch of the
    // hub may take it in at any moment.
    void ownOpen();
    void ownOpenFailed();

    // Takes in the queued events; opens by others that found the line free,
    // since the watch started. inotify merges identical events in a row, so
    // the count may fall short, but it grows whenever a host opened the slave
    // after all its openers had closed it. Only an open that coincides with
    // one of ours can go unseen (ours come between sessions, when there is no
    // session for it to end), or a quick reopen whose close coincided with
    // another opener's (the master's next hang-up puts the count right).
    std::size_t hostOpens();

    // Opens of any kind taken in so far; see lineFree.
    std::size_t opensTaken();
    // The master reported the slave closed by everyone (POLLHUP) at a poll
    // made when opensTaken() was `opensBefore`: unless an open has been taken
    // in since, no one has the line now, whatever merged events made of the
    // count.
    void lineFree(std::size_t opensBefore);

private:
    friend class WatchHub;
    void stopLocked();
    void take(uint32_t mask);

    WatchHub& hub_;
    int wd_ = -1;
    std::atomic<bool> active_{false};
    std::size_t ownOpens_ = 0;   // these under the hub's mutex
    std::size_t hostOpens_ = 0;
    std::size_t openers_ = 0;    // descriptors of the slave open now, as the events tell
    std::size_t opensTaken_ = 0;
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
