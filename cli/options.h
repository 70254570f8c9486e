#pragma once
// flash3-cli's command line: what it asks for, or the exit status when it is
// already answered (help, version, a usage error).

#include <QString>
#include <QStringList>

#include <variant>

namespace flash3::cli {

struct Options {
    int port = 2;
    QString device;       // set: COM `port` stands for this device for the run
    int speedIndex = 4;   // 1..5: 9.6, 19.2, 38.4, 57.6, 115.2 kbaud
    bool check = false;
    bool force = false;
    bool listPorts = false;
    bool json = false;
    bool quiet = false;
    int timeoutSeconds = 30;  // longest wait for a quiet line after the entry bytes
    QString image;
};

extern const char* const Usage;

// Prints help, version or the usage error itself; returns the options or the exit status.
std::variant<Options, int> parseOptions(const QStringList& arguments);

} // namespace flash3::cli
