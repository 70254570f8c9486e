#include "options.h"

#include "cli.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <cstdio>
#include <string>

namespace flash3::cli {

const char* const Usage =
    "Usage: flash3-cli [options] IMAGE\n"
    "Programs the image IMAGE (.pf3) into a KORVEN-7 device waiting in FLASH3 boot mode.\n"
    "\n"
    "Options:\n"
    "  -p, --port PORT     COM port number 1..99, COM5, or a device path (default 2)\n"
    "  -d, --device PATH   the serial device that the COM port stands for (overrides the mapping)\n"
    "  -s, --speed SPEED   9.6 | 19.2 | 38.4 | 57.6 | 115.2 kbaud, or in bit/s: 57600 (default 57.6)\n"
    "      --timeout SECONDS\n"
    "                      longest wait for the line to fall quiet after the entry bytes\n"
    "                      (default 30): a device that keeps sending ends the run\n"
    "      --check         check IMAGE only, open no port: one line per fault, then a summary\n"
    "      --force         flash IMAGE even when it has faulty records (they are skipped, or a bad\n"
    "                      digit taken as 0); without it such an image is refused unsent\n"
    "      --list-ports    list the serial ports present and the COM numbers they stand for\n"
    "      --json          with --list-ports: as a JSON array\n"
    "  -q, --quiet         no progress bar\n"
    "  -h, --help          this text\n"
    "      --version       the version\n"
    "\n"
    "COM 1-32 stand for /dev/ttyS0-31, COM 33-64 for /dev/ttyUSB0-31, COM 65-96 for\n"
    "/dev/ttyACM0-31; FLASH3_COM<N>=PATH in the environment, or a line COM<N>=PATH in\n"
    "~/.config/flash3/ports.conf or /etc/flash3/ports.conf, binds COM N to another device.\n"
    "Every image is checked whole before the first byte is sent. After the logs, one line on\n"
    "stderr beginning 'flash3-cli: ' says how the run ended.\n"
    "Exit status: 0 run completed, 1 run failed (or --check found faults), 2 usage error,\n"
    "image refused (faulty, empty, cannot be opened) or port that cannot be opened, 130 interrupted.\n";

namespace {

int usageError(const QString& message)
{
    std::fprintf(stderr, "flash3-cli: %s\nTry 'flash3-cli --help'.\n", message.toLocal8Bit().constData());
    return ExitUsage;
}

// "5", "COM5" (any case) or a device path.
bool parsePort(const QString& text, Options& o, QString* error)
{
    static const QRegularExpression number(QStringLiteral("^(?:COM)?(\\d+)$"),
                                           QRegularExpression::CaseInsensitiveOption);
    if (const auto m = number.match(text); m.hasMatch()) {
        bool ok = false;
        const int port = m.captured(1).toInt(&ok);
        if (!ok || port < 1 || port > 99) {
            *error = QStringLiteral("the COM port number must be 1..99, not '%1'").arg(text);
            return false;
        }
        o.port = port;
        return true;
    }
    if (text.contains(QLatin1Char('/')) || text.startsWith(QLatin1String("\\\\"))) {
        o.device = text;  // on the default COM number
        return true;
    }
    *error = QStringLiteral("--port takes a COM number 1..99, COM<N>, or a device path (or use --device PATH), "
                            "not '%1'")
                 .arg(text);
    return false;
}

// kbaud as the dialog writes it, or bit/s.
int speedIndexFor(const QString& text)
{
    const QStringList kbaud{"9.6", "19.2", "38.4", "57.6", "115.2"};
    const QStringList bits{"9600", "19200", "38400", "57600", "115200"};
    int index = static_cast<int>(kbaud.indexOf(text));
    if (index < 0)
        index = static_cast<int>(bits.indexOf(text));
    return index < 0 ? 0 : index + 1;
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
    const QCommandLineOption listPorts("list-ports");
    const QCommandLineOption json("json");
    const QCommandLineOption quiet(QStringList{"q", "quiet"});
    const QCommandLineOption help(QStringList{"h", "help"});
    const QCommandLineOption version("version");
    parser.addOptions({port, device, speed, timeout, check, force, listPorts, json, quiet, help, version});
    parser.addPositionalArgument("IMAGE", "");
    if (!parser.parse(arguments)) {
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

    Options o;
    QString error;
    const QStringList ports = parser.values(port);
    if (ports.size() > 1)
        return usageError(QStringLiteral("only one --port may be given"));
    if (!ports.isEmpty() && !parsePort(ports.first(), o, &error))
        return usageError(error);
    if (parser.isSet(device)) {
        if (!o.device.isEmpty())
            return usageError(QStringLiteral("give the device either with --port PATH or with --device PATH"));
        o.device = parser.value(device);
        if (o.device.isEmpty())
            return usageError(QStringLiteral("--device needs a path"));
    }
    if (parser.isSet(speed)) {
        o.speedIndex = speedIndexFor(parser.value(speed));
        if (o.speedIndex == 0)
            return usageError(QStringLiteral("the speed must be one of 9.6, 19.2, 38.4, 57.6, 115.2 (kbaud) or "
                                             "9600 .. 115200 (bit/s), not '%1'")
                                  .arg(parser.value(speed)));
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
    o.json = parser.isSet(json);
    o.quiet = parser.isSet(quiet);
    if (o.json && !o.listPorts)
        return usageError(QStringLiteral("--json goes with --list-ports"));
    const QStringList images = parser.positionalArguments();
    if (images.size() > 1)
        return usageError(QStringLiteral("only one IMAGE may be given"));
    if (!images.isEmpty())
        o.image = images.first();
    if (!o.listPorts && o.image.isEmpty())
        return usageError(QStringLiteral("no IMAGE given"));
    return o;
}

} // namespace flash3::cli
