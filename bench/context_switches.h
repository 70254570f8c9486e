#pragma once
// How often a process was woken, counted by the kernel rather than by the
// program: the context switches of each of its threads, from
// /proc/self/task/<tid>/status. A thread switches out voluntarily each time it
// goes to sleep, so over a span that starts just before the process sleeps and
// ends at the wake-up that closes the span, the voluntary switches are the
// process's wake-ups plus that last one. Involuntary switches (preemption)
// happen only while a thread runs, so they count as well.

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace flash3::bench {

struct ThreadSwitches {
    long long voluntary = 0;
    long long involuntary = 0;
};

// Keyed by thread id.
using SwitchSnapshot = std::map<long, ThreadSwitches>;

inline SwitchSnapshot switchSnapshot()
{
    SwitchSnapshot snapshot;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return snapshot;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long tid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0')
            continue;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%ld/status", tid);
        std::FILE* f = std::fopen(path, "r");
        if (!f)
            continue;  // the thread ended meanwhile
        ThreadSwitches s;
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::strncmp(line, "voluntary_ctxt_switches:", 24) == 0)
                s.voluntary = std::atoll(line + 24);
            else if (std::strncmp(line, "nonvoluntary_ctxt_switches:", 27) == 0)
                s.involuntary = std::atoll(line + 27);
        }
        std::fclose(f);
        snapshot[tid] = s;
    }
    closedir(dir);
    return snapshot;
}

struct SwitchDelta {
    long long voluntary = 0;
    long long involuntary = 0;
    int threads = 0;        // threads alive at the end
    int threadsEnded = 0;   // threads alive at the start and gone at the end: their switches are missing
};

// A thread started in between counts from zero.
inline SwitchDelta switchesBetween(const SwitchSnapshot& before, const SwitchSnapshot& after)
{
    SwitchDelta d;
    for (const auto& [tid, s] : after) {
        const auto it = before.find(tid);
        const ThreadSwitches base = it == before.end() ? ThreadSwitches{} : it->second;
        d.voluntary += s.voluntary - base.voluntary;
        d.involuntary += s.involuntary - base.involuntary;
        ++d.threads;
    }
    for (const auto& entry : before)
        d.threadsEnded += after.count(entry.first) == 0 ? 1 : 0;
    return d;
}

// The fields the benchmark driver reads, space-separated.
inline std::string switchFields(const SwitchDelta& d)
{
    char text[160];
    std::snprintf(text, sizeof text, "voluntary=%lld involuntary=%lld threads=%d threads_ended=%d", d.voluntary,
                  d.involuntary, d.threads, d.threadsEnded);
    return text;
}

} // namespace flash3::bench
