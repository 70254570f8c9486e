#include "options.h"

#include "cli.h"
#include "output_file.h"

#include "image/checksum_file.h"
#include "ports/port_map.h"
#include "serial/line_speeds.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <vector>
#include <string>

namespace flash3::cli {

const char* const Usage =
    "Usage: flash3-cli [options] IMAGE\n"
    "Programs the image IMAGE (.pf3) into a KORVEN-7 device waiting in FLASH3 boot mode.\n"
    "\n"
    "Options:\n"
    "  -p, --port PORT     COM port number 1..99, COM5, a range 40-47, or a device path\n"
    "                      (/dev/ttyUSB0, or ttyUSB0 alone), which gets the COM number that\n"
    "                      stands for it (default 2); given more than once, every port is\n"
    "                      flashed at once\n"
    "  -d, --device PATH   the serial device that the COM port stands for (overrides the mapping)\n"
    "  -s, --speed SPEED   9.6 | 19.2 | 38.4 | 57.6 | 115.2 kbaud, or in bit/s: 57600 (default 57.6)\n"
    "      --timeout SECONDS\n"
    "                      longest wait for the line to fall quiet after the entry bytes\n"
    "                      (default 30): a device that keeps sending ends the run\n"
    "      --check         check IMAGE only, open no port: one line per fault, then a summary\n"
    "      --force         flash IMAGE even when it has faulty records (they are skipped, or a bad\n"
    "                      digit taken as 0); without it such an image is refused unsent\n"
    "      --sha256 HEX    flash IMAGE only when its SHA-256 is HEX (64 hex digits); a\n"
    "                      checksum file IMAGE.sha256 beside it is always checked too\n"
    "      --list-ports    list the serial ports present and the COM numbers they stand for\n"
    "      --log FILE      append every line of the run to FILE, each with its date, time\n"
    "                      and port, after a header naming the image and the ports\n"
    "      --json FILE     write a JSON report of the run to FILE when it ends;\n"
    "                      with --list-ports (no FILE): the list as a JSON array\n"
    "  -q, --quiet         no progress bar\n"
    "  -h, --help          this text\n"
    "      --version       the version\n"
    "\n"
#ifdef Q_OS_WIN
    "COM N stands for \\\\.\\COM<N>; FLASH3_COM<N>=PATH in the environment, or a line\n"
    "COM<N>=PATH in %APPDATA%\\flash3\\ports.conf or %PROGRAMDATA%\\flash3\\ports.conf,\n"
    "binds COM N to another device.\n"
#else
    "COM 1-32 stand for /dev/ttyS0-31, COM 33-64 for /dev/ttyUSB0-31, COM 65-96 for\n"
    "/dev/ttyACM0-31; FLASH3_COM<N>=PATH in the environment, or a line COM<N>=PATH in\n"
    "~/.config/flash3/ports.conf or /etc/flash3/ports.conf, binds COM N to another device.\n"
#endif
    "Every option but --port is given at most once.\n"
    "Every image is checked whole before the first byte is sent. After the logs, one line on\n"
    "stderr beginning 'flash3-cli: ' says how the run ended.\n"
    "Several ports: one run per port, all at once. On a terminal one line per port shows\n"
    "its progress; otherwise every log line begins 'COM<N>: '. Each port's verdict follows.\n"
    "Exit status: 0 run completed (on every port), 1 run failed (on any port; or --check\n"
    "found faults; or the log or the report could not be written), 2 usage error, image\n"
    "refused (faulty, empty, cannot be opened, another SHA-256 than given or published)\n"
    "or port that cannot be opened (on every port), 130 interrupted.\n";

namespace {

int usageError(const QString& message)
{
    std::fprintf(stderr, "flash3-cli: %s\nTry 'flash3-cli --help'.\n", message.toLocal8Bit().constData());
    return ExitUsage;
}

bool isDevicePath(const QString& text)
{
    return text.contains(QLatin1Char('/')) || text.startsWith(QLatin1String("\\\\"));
}

// "5", "COM5" (any case), a range "40-47" or "COM40-COM47", or a device path
// (whose COM number is settled later). Appends the ports to `into`.
bool parsePort(const QString& text, QList<PortChoice>& into, QString* error)
{
    static const QRegularExpression number(QStringLiteral("^(?:COM)?(\\d+)(?:-(?:COM)?(\\d+))?$"),
                                           QRegularExpression::CaseInsensitiveOption);
    if (const auto m = number.match(text); m.hasMatch()) {
        bool ok = false, okLast = true;
        const int first = m.captured(1).toInt(&ok);
        const int last = m.hasCaptured(2) ? m.captured(2).toInt(&okLast) : first;
        if (!ok || !okLast || first < 1 || first > 99 || last < 1 || last > 99) {
            *error = QStringLiteral("the COM port number must be 1..99, not '%1'").arg(text);
            return false;
        }
        if (last < first) {
            *error = QStringLiteral("the range '%1' runs backwards").arg(text);
            return false;
        }
        for (int com = first; com <= last; ++com)
            into.append(PortChoice{com, {}});
        return true;
    }
    if (isDevicePath(text)) {
        into.append(PortChoice{0, text});
        return true;
    }
#ifdef Q_OS_UNIX
    // "ttyUSB0" for "/dev/ttyUSB0", as a device is usually named in passing.
    if (const QString underDev = portMapPaths().deviceFolder + QLatin1Char('/') + text;
        !text.isEmpty() && !text.startsWith(QLatin1Char('.')) && QFileInfo::exists(underDev)) {
        into.append(PortChoice{0, underDev});
        return true;
    }
#endif
    *error = QStringLiteral("--port takes a COM number 1..99, COM<N>, a range N-M, or a device path (or use "
                            "--device PATH), not '%1'")
                 .arg(text);
    return false;
}

// Device paths given with -p get a COM number: the number that stands for the
// device (by default or as bound), else, for a single port, COM 2 as when no
// port is given, and in a station the highest number no other port uses
// (97-99 stand for nothing by default).
bool settlePortNumbers(QList<PortChoice>& ports, QString* error)
{
    QList<int> taken;
    for (const PortChoice& p : ports) {
        if (p.com == 0)
            continue;
        if (taken.contains(p.com)) {
            *error = QStringLiteral("COM %1 is given more than once").arg(p.com);
            return false;
        }
        taken.append(p.com);
    }
    QStringList paths;
    for (const PortChoice& p : ports) {
        if (p.com != 0)
            continue;
        if (paths.contains(p.device)) {
            *error = QStringLiteral("the device '%1' is given more than once").arg(p.device);
            return false;
        }
        paths.append(p.device);
    }
    for (PortChoice& p : ports) {
        if (p.com != 0)
            continue;
        for (int com = 1; com <= 99 && p.com == 0; ++com) {
            if (!taken.contains(com) && devicePathForCom(com) == p.device)
                p.com = com;
        }
        if (p.com == 0 && ports.size() == 1)
            p.com = 2;
        for (int com = 99; com >= 1 && p.com == 0; --com) {
            if (!taken.contains(com))
                p.com = com;
        }
        if (p.com == 0) {
            *error = QStringLiteral("more than 99 ports given");
            return false;
        }
        taken.append(p.com);
    }
    return true;
}

// kbaud as the dialog writes it, or bit/s.
int speedIndexFor(const QString& text)
{
    for (int i = 1; i <= SpeedCount; ++i) {
        if (text == QLatin1String(lineSpeed(i)->kbaud) || text == QString::number(lineSpeed(i)->bitsPerSecond))
            return i;
    }
    return 0;
}

// The five speeds as the usage error lists them: "9.6, 19.2, ..." or in bit/s.
QString speedList(bool bitsPerSecond)
{
    QStringList speeds;
    for (const LineSpeed& speed : LineSpeeds)
        speeds << (bitsPerSecond ? QString::number(speed.bitsPerSecond) : QString::fromLatin1(speed.kbaud));
    return speeds.join(QStringLiteral(", "));
}

// A port as it was typed: its COM number with what that stands for, or the
// device path itself (whose COM number the user never saw).
QString givenName(const PortChoice& p)
{
    if (!p.device.isEmpty())
        return p.device;
    return QStringLiteral("COM %1 (").arg(p.com) + devicePathForCom(p.com) + QLatin1Char(')');
}

// Two ports that stand for one device would flash it twice at once (the
// second open is refused, as it is held): a slip on the command line.
bool samePortTwice(const QList<PortChoice>& ports, QString* error)
{
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const QString a = ports[i].device.isEmpty() ? devicePathForCom(ports[i].com) : ports[i].device;
        for (qsizetype j = i + 1; j < ports.size(); ++j) {
            const QString b = ports[j].device.isEmpty() ? devicePathForCom(ports[j].com) : ports[j].device;
            if (sameDevice(a, b)) {
                *error = givenName(ports[i]) + QStringLiteral(" and ") + givenName(ports[j])
                    + QStringLiteral(" are the same device");
                return true;
            }
        }
    }
    return false;
}

// Optimal string alignment distance: a swapped pair of letters ("prot") is one slip.
int editDistance(const QString& a, const QString& b)
{
    const qsizetype n = a.size(), m = b.size();
    std::vector<std::vector<int>> d(static_cast<std::size_t>(n + 1), std::vector<int>(static_cast<std::size_t>(m + 1)));
    for (qsizetype i = 0; i <= n; ++i)
        d[i][0] = static_cast<int>(i);
    for (qsizetype j = 0; j <= m; ++j)
        d[0][j] = static_cast<int>(j);
    for (qsizetype i = 1; i <= n; ++i) {
        for (qsizetype j = 1; j <= m; ++j) {
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[n][m];
}

// The long option nearest to an unknown one, when it is near enough to be a slip.
QString nearestOption(const QString& unknown, const QStringList& names)
{
    const QString typed = unknown.toLower();
    QString best;
    int bestDistance = typed.size() <= 3 ? 2 : 3;  // farther is no slip but another word
    for (const QString& name : names) {
        if (name.size() < 2)
            continue;
        const int distance = typed.size() >= 3 && name.startsWith(typed) ? 0 : editDistance(typed, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

} // namespace

std::variant<Options, int> parseOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    const QCommandLineOption port({"p", "port"}, "", "PORT");
    const QCommandLineOption device({"d", "device"}, "", "PATH");
    const QCommandLineOption speed({"s", "speed"}, "", "SPEED");
    const QCommandLineOption timeout("timeout", "", "SECONDS");
    const QCommandLineOption check("check");
    const QCommandLineOption force("force");
    const QCommandLineOption sha256("sha256", "", "HEX");
    const QCommandLineOption listPorts("list-ports");
    const QCommandLineOption log("log", "", "FILE");
    // --json FILE with a run; plain --json with --list-ports (as before).
    const QCommandLineOption json("json", "", "FILE");
    const QCommandLineOption quiet(QStringList{"q", "quiet"});
    const QCommandLineOption help(QStringList{"h", "help"});
    const QCommandLineOption version("version");
    const QList<QCommandLineOption> all{port, device, speed, timeout, check, force, sha256,
                                        listPorts, log, json, quiet, help, version};
    parser.addOptions(all);
    parser.addPositionalArgument("IMAGE", "");
    // --json without a value (--list-ports --json) is given an empty one, as
    // the parser knows no option whose value may be left out.
    QStringList args = arguments;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--json") && (i + 1 == args.size() || args[i + 1].startsWith(QLatin1Char('-'))))
            args[i] = QStringLiteral("--json=");
        if (args[i] == QLatin1String("--"))
            break;
    }
    if (!parser.parse(args)) {
        if (const QStringList unknown = parser.unknownOptionNames(); !unknown.isEmpty()) {
            QStringList knownNames;
            for (const QCommandLineOption& option : all)
                knownNames += option.names();
            QString text = QStringLiteral("unknown option '") + unknown.first() + QLatin1Char('\'');
            if (const QString near = nearestOption(unknown.first(), knownNames); !near.isEmpty())
                text += QStringLiteral("; did you mean --") + near + QLatin1Char('?');
            return usageError(text);
        }
        QString text = parser.errorText();
        if (!text.isEmpty())
            text[0] = text[0].toLower();
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        return usageError(text);
    }
    if (parser.isSet(help)) {
        std::fputs(Usage, stdout);
        return ExitCompleted;
    }
    if (parser.isSet(version)) {
        std::printf("flash3-cli %s\n", FLASH3_VERSION);
        return ExitCompleted;
    }
    // A value given twice is a slip either way: which one was meant is not known.
    for (const QCommandLineOption& once : {device, speed, timeout, sha256, log, json}) {
        if (parser.values(once).size() > 1)
            return usageError(QStringLiteral("--") + once.names().constLast() + QStringLiteral(" is given more than once"));
    }

    Options o;
    QString error;
    QList<PortChoice> ports;
    for (const QString& value : parser.values(port)) {
        if (!parsePort(value, ports, &error))
            return usageError(error);
    }
    if (!ports.isEmpty())
        o.ports = ports;
    if (parser.isSet(device)) {
        if (o.station())
            return usageError(QStringLiteral("--device goes with a single --port; give several devices as "
                                             "--port PATH, or bind COM numbers in ports.conf or FLASH3_COM<N>"));
        if (!o.ports.front().device.isEmpty())
            return usageError(QStringLiteral("give the device either with --port PATH or with --device PATH"));
        o.ports.front().device = parser.value(device);
        if (o.ports.front().device.isEmpty())
            return usageError(QStringLiteral("--device needs a path"));
    }
    if (!settlePortNumbers(o.ports, &error) || samePortTwice(o.ports, &error))
        return usageError(error);
    if (parser.isSet(speed)) {
        o.speedIndex = speedIndexFor(parser.value(speed));
        if (o.speedIndex == 0)
            return usageError(QStringLiteral("the speed must be one of ") + speedList(false)
                              + QStringLiteral(" (kbaud), or one of ") + speedList(true) + QStringLiteral(" (bit/s), not '")
                              + parser.value(speed) + QLatin1Char('\''));
    }
    if (parser.isSet(timeout)) {
        bool ok = false;
        o.timeoutSeconds = parser.value(timeout).toInt(&ok);
        if (!ok || o.timeoutSeconds < 1 || o.timeoutSeconds > 86400)
            return usageError(QStringLiteral("--timeout takes whole seconds 1..86400, not '%1'")
                                  .arg(parser.value(timeout)));
    }
    o.check = parser.isSet(check);
    o.force = parser.isSet(force);
    o.listPorts = parser.isSet(listPorts);
    o.quiet = parser.isSet(quiet);
    o.logPath = parser.value(log);
    if (parser.isSet(log) && o.logPath.isEmpty())
        return usageError(QStringLiteral("--log needs a file"));
    if (parser.isSet(json)) {
        const QString file = parser.value(json);
        if (o.listPorts) {
            if (!file.isEmpty())
                return usageError(QStringLiteral("with --list-ports, --json takes no file"));
            o.json = true;
        } else if (o.check) {
            return usageError(QStringLiteral("--json goes with --list-ports or with a run"));
        } else if (file.isEmpty()) {
            return usageError(QStringLiteral("--json needs a FILE for the report"));
        } else {
            o.reportPath = file;
        }
    }
    if ((o.check || o.listPorts) && !o.logPath.isEmpty())
        return usageError(QStringLiteral("--log goes with a run"));
    if (parser.isSet(sha256)) {
        if (o.check || o.listPorts)
            return usageError(QStringLiteral("--sha256 goes with a run"));
        if (!isSha256Hex(parser.value(sha256)))
            return usageError(QStringLiteral("--sha256 takes the image's SHA-256 as 64 hex digits, not '")
                              + parser.value(sha256) + QLatin1Char('\''));
        o.sha256 = parser.value(sha256).toLower();
    }
    // The report and the log are written, the image only read: a slip on the
    // command line must not overwrite an image.
    for (const QString& written : {o.reportPath, o.logPath}) {
        if (written.endsWith(QLatin1String(".pf3"), Qt::CaseInsensitive))
            return usageError(QStringLiteral("'%1' looks like an image; the report and the log are not written "
                                             "over one")
                                  .arg(written));
    }
    const QStringList images = parser.positionalArguments();
    if (images.size() > 1)
        return usageError(QStringLiteral("only one IMAGE may be given"));
    if (!images.isEmpty())
        o.image = images.first();
    if (sameFile(o.logPath, o.reportPath))
        return usageError(QStringLiteral("the log and the report cannot be the same file"));
    if (sameFile(o.logPath, o.image) || sameFile(o.reportPath, o.image))
        return usageError(QStringLiteral("the log and the report are written, the image only read: they cannot be "
                                         "the same file"));
    if (!o.listPorts && o.image.isEmpty())
        return usageError(QStringLiteral("no IMAGE given"));
    return o;
}

} // namespace flash3::cli
