#include "json_report.h"

#include "cli.h"
#include "output_file.h"

#include "app/text_format.h"
#include "protocol/wire.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace flash3::cli {

namespace {

const char* causeName(FailureCause cause)
{
    switch (cause) {
    case FailureCause::None: return "unknown";
    case FailureCause::CannotOpenImage: return "cannot-open-image";
    case FailureCause::ImageTooLarge: return "image-too-large";
    case FailureCause::ImageEmpty: return "image-empty";
    case FailureCause::PortNotOpen: return "port-not-open";
    case FailureCause::PortGone: return "port-gone";
    case FailureCause::ImageFaults: return "image-faults";
    case FailureCause::ChecksumFileUnusable: return "checksum-file-unusable";
    case FailureCause::ImageDigestMismatch: return "image-digest-mismatch";
    case FailureCause::SendFailed: return "send-failed";
    case FailureCause::DeviceGone: return "device-gone";
    case FailureCause::EntryRejected: return "entry-rejected";
    case FailureCause::WrongAnswer: return "wrong-answer";
    case FailureCause::NoAnswer: return "no-answer";
    case FailureCause::BadLineEnd: return "bad-line-end";
    case FailureCause::IncompleteRecord: return "incomplete-record";
    case FailureCause::ImageReadError: return "image-read-error";
    case FailureCause::ImageChanged: return "image-changed";
    case FailureCause::InvalidMode: return "invalid-mode";
    case FailureCause::LineNeverQuiet: return "line-never-quiet";
    }
    return "unknown";
}

QJsonValue positive(int64_t n)
{
    return n > 0 ? QJsonValue(static_cast<qint64>(n)) : QJsonValue(QJsonValue::Null);
}

QJsonValue textOrNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

// Why a run did not complete, and where in the image.
QJsonObject failure(const PortResult& port)
{
    const RunReport& r = port.report;
    QJsonObject f;
    QString kind = QString::fromLatin1(causeName(r.cause));
    int64_t record = r.record, line = r.line, column = r.column;
    QString expected, read;
    if (port.status == ExitInterrupted)
        kind = QStringLiteral("interrupted");
    else if (port.portFailed)
        kind = QStringLiteral("port-not-open");
    switch (r.cause) {
    case FailureCause::WrongAnswer:
        expected = hexByteText(r.expected);
        read = hexByteText(r.received);
        break;
    case FailureCause::NoAnswer:
        expected = hexByteText(r.expected);
        break;
    case FailureCause::EntryRejected:
        expected = hexBytesText(EntryReply);
        if (r.replyBytes == 1)
            read = hexByteText(r.reply1);
        else if (r.replyBytes >= 2)
            read = hexBytesText(std::array<int, 2>{r.reply0, r.reply1});
        break;
    case FailureCause::ImageFaults:
        if (r.firstFault) {
            record = r.firstFault->record;
            line = r.firstFault->line;
            column = r.firstFault->column;
        }
        break;
    default:
        break;
    }
    if (!r.started && r.cause != FailureCause::ImageFaults)
        record = line = column = 0;
    f.insert(QStringLiteral("kind"), kind);
    f.insert(QStringLiteral("record"), positive(record));
    f.insert(QStringLiteral("line"), positive(line));
    f.insert(QStringLiteral("column"), positive(column));
    f.insert(QStringLiteral("expected"), textOrNull(expected));
    f.insert(QStringLiteral("read"), textOrNull(read));
    f.insert(QStringLiteral("debugLine"), textOrNull(port.errorLine));
    return f;
}

} // namespace

QJsonObject portReport(const PortResult& port)
{
    QJsonObject p;
    p.insert(QStringLiteral("com"), port.com);
    p.insert(QStringLiteral("device"), port.devicePath);
    p.insert(QStringLiteral("byId"), textOrNull(port.byIdPath));
    p.insert(QStringLiteral("serialNumber"), textOrNull(port.serialNumber));
    p.insert(QStringLiteral("speed"), port.speed);
    const QString outcome = outcomeName(port.phase);
    p.insert(QStringLiteral("outcome"), outcome);
    const RunReport& r = port.report;
    p.insert(QStringLiteral("recordsDone"), static_cast<qint64>(r.started ? port.recordsDone : 0));
    p.insert(QStringLiteral("bytesSent"), static_cast<qint64>(r.bytesSent));
    p.insert(QStringLiteral("durationSeconds"), port.seconds);
    p.insert(QStringLiteral("faultyRecords"), static_cast<qint64>(r.faultyRecords));
    p.insert(QStringLiteral("verdict"), port.verdict);
    p.insert(QStringLiteral("failure"),
             outcome == QLatin1String("completed") ? QJsonValue(QJsonValue::Null) : QJsonValue(failure(port)));
    return p;
}

QJsonObject runReport(const ReportContext& c, const std::vector<PortResult>& ports)
{
    QJsonObject image;
    image.insert(QStringLiteral("path"), c.image.path);
    image.insert(QStringLiteral("readable"), c.image.readable);
    if (c.image.interrupted)
        image.insert(QStringLiteral("interrupted"), true);
    if (c.image.readable) {
        image.insert(QStringLiteral("size"), static_cast<qint64>(c.image.size));
        image.insert(QStringLiteral("sha256"), c.image.sha256);
        QJsonObject records;
        records.insert(QStringLiteral("total"), static_cast<qint64>(c.image.records));
        records.insert(QStringLiteral("T"), static_cast<qint64>(c.image.tRecords));
        records.insert(QStringLiteral("R"), static_cast<qint64>(c.image.rRecords));
        records.insert(QStringLiteral("E"), static_cast<qint64>(c.image.eRecords));
        image.insert(QStringLiteral("records"), records);
    }
    // Whether the image was held to a known digest, and to which.
    QJsonArray expected;
    for (const KnownDigest& d : c.image.knownDigests) {
        QJsonObject e;
        e.insert(QStringLiteral("source"), d.source);
        e.insert(QStringLiteral("sha256"), textOrNull(QString::fromLatin1(d.sha256)));
        const bool compared = c.image.readable && d.problem.isEmpty();
        e.insert(QStringLiteral("matches"), compared ? QJsonValue(QString::fromLatin1(d.sha256) == c.image.sha256)
                                                     : QJsonValue(QJsonValue::Null));
        if (!d.problem.isEmpty())
            e.insert(QStringLiteral("problem"), d.problem);
        expected.append(e);
    }
    image.insert(QStringLiteral("expectedSha256"), expected);
    QJsonArray list;
    for (const PortResult& port : ports)
        list.append(portReport(port));
    QJsonObject report;
    report.insert(QStringLiteral("tool"), QStringLiteral("flash3-cli"));
    report.insert(QStringLiteral("version"), QStringLiteral(FLASH3_VERSION));
    report.insert(QStringLiteral("started"), isoTime(c.started));
    report.insert(QStringLiteral("ended"), isoTime(c.ended));
    report.insert(QStringLiteral("exitStatus"), c.exitStatus);
    report.insert(QStringLiteral("image"), image);
    report.insert(QStringLiteral("ports"), list);
    return report;
}

bool writeReport(const QString& path, const QJsonObject& report, QString* error)
{
    return writeWholeFile(path, QJsonDocument(report).toJson(QJsonDocument::Indented), error);
}

} // namespace flash3::cli
