#include "cli.h"

#include "check_report.h"
#include "console.h"
#include "list_ports.h"
#include "options.h"
#include "station.h"

#include <QCoreApplication>

#include <cstdio>
#include <variant>

namespace flash3::cli {

namespace {

int checkOnly(const QString& image)
{
    const QByteArray name = image.toLocal8Bit();
    const CheckSummary summary = explainImage(image, [&](const CheckLine& f) {
        std::printf("%s:%lld:%lld: %s\n", name.constData(), static_cast<long long>(f.line),
                    static_cast<long long>(f.column), f.message.toLocal8Bit().constData());
    });
    if (!summary.opened) {
        std::fprintf(stderr, "** ERROR ** Cannot open input file: %s\n", name.constData());
        // The summary still comes, with the reason: a script reading stdout
        // alone must not take silence for a clean image.
        std::printf("%s: %s; not checked\n", name.constData(), summary.openError.toLocal8Bit().constData());
        std::fflush(stdout);
        return ExitUsage;
    }
    if (summary.tooLarge) {
        std::fprintf(stderr, "** ERROR ** Input file too large (more than 2147483647 records): %s\n",
                     name.constData());
        return ExitUsage;
    }
    const QString verdict = summary.faults == 0
        ? QStringLiteral("clean")
        : QStringLiteral("%1 fault%2: do not flash").arg(QString::number(summary.faults), QLatin1String(summary.faults == 1 ? "" : "s"));
    std::printf("%s: %lld records (%lld T, %lld R, %lld E), %lld bytes; %s\n", name.constData(),
                static_cast<long long>(summary.records), static_cast<long long>(summary.tRecords),
                static_cast<long long>(summary.rRecords), static_cast<long long>(summary.eRecords),
                static_cast<long long>(summary.bytes), verdict.toLocal8Bit().constData());
    std::fflush(stdout);
    return summary.faults == 0 ? ExitCompleted : ExitRunFailed;
}

} // namespace

int run(int argc, char** argv)
{
    prepareConsole();
    QCoreApplication app(argc, argv);
    const auto parsed = parseOptions(QCoreApplication::arguments());
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const Options& o = std::get<Options>(parsed);
    if (o.listPorts || o.check)
        exitOnInterrupt();
    if (o.listPorts)
        return listPorts(o.json);
    if (o.check)
        return checkOnly(o.image);
    return runPorts(o);
}

} // namespace flash3::cli
