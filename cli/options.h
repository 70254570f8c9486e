#pragma once
// flash3-cli's command line: what it asks for, or the exit status when it is
// already answered (help, version, a usage error).

#include <QList>
#include <QString>
#include <QStringList>

#include <variant>

namespace flash3::cli {

// One port to flash: a COM number, and the device it stands for when given
// on the command line (empty: as the COM mapping has it).
struct PortChoice {
    int com = 2;
    QString device;
};

struct Options {
    QList<PortChoice> ports{PortChoice{}};  // more than one: a station run
    int speedIndex = 4;   // 1..5: 9.6, 19.2, 38.4, 57.6, 115.2 kbaud
    bool check = false;
    bool force = false;
    bool listPorts = false;
    bool json = false;
    bool quiet = false;
    int timeoutSeconds = 30;  // longest wait for a quiet line after the entry bytes
    QString logPath;      // --log: append every line, dated, to this file
    QString reportPath;   // --json with a run: write the JSON report here
    QString sha256;       // --sha256: the digest the image must have (lower-case hex)
    QString image;

    bool station() const { return ports.size() > 1; }
};

extern const char* const Usage;

// Prints help, version or the usage error itself; returns the options or the exit status.
std::variant<Options, int> parseOptions(const QStringList& arguments);

} // namespace flash3::cli
