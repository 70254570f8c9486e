#include "verdict.h"

#include "app/text_format.h"
#include "protocol/wire.h"

#include <QRegularExpression>

namespace flash3::cli {

namespace {

QString plural(int64_t n, const char* one, const char* many)
{
    return QString::number(n) + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
}

QString faultText(const RunReport& r)
{
    QString text = plural(r.faultyRecords, "faulty record", "faulty records");
    if (r.firstFault)
        text += QStringLiteral(" (first at line %1, column %2: %3)")
                    .arg(r.firstFault->line)
                    .arg(r.firstFault->column)
                    .arg(visibleText(r.firstFault->message));
    return text;
}

QString portText(const VerdictContext& c)
{
    // COM 97-99 stand for nothing until bound: "()" would read as a device lost.
    if (c.devicePath.isEmpty())
        return QStringLiteral("COM %1 (it stands for no device)").arg(c.comPort);
    return QStringLiteral("COM %1 (").arg(c.comPort) + c.devicePath + QLatin1Char(')');
}

// The image's name as a shell word, for a command to copy.
QString shellWord(const QString& text)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+,:@%=-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// Commands that put CR LF back; --force would send the converted records garbled.
QString restoreCrLf(const VerdictContext& c)
{
    const QString file = shellWord(c.image);
    if (c.lineEnds == QLatin1String("CR"))
        return QStringLiteral("sed -i 's/\\r/\\r\\n/g' ") + file + QStringLiteral(" (or mac2unix ") + file
            + QStringLiteral(" && unix2dos ") + file + QLatin1Char(')');
    return QStringLiteral("sed -i 's/$/\\r/' ") + file + QStringLiteral(" (or unix2dos ") + file + QLatin1Char(')');
}

QString where(const RunReport& r)
{
    if (r.record <= 0)
        return QStringLiteral("before the first record");
    return QStringLiteral("at line %1, column %2 (record %3 of %4)").arg(QString::number(r.line), QString::number(r.column), QString::number(r.record), QString::number(r.records));
}

QString cause(const RunReport& r)
{
    switch (r.cause) {
    case FailureCause::SendFailed:
        return QStringLiteral("a byte could not be sent (driver status %1); is the adapter still plugged in?")
            .arg(r.driverStatus);
    case FailureCause::DeviceGone:
        return QStringLiteral("the device is gone (driver status %1); was it unplugged or powered off?")
            .arg(r.driverStatus);
    case FailureCause::EntryRejected:
        if (r.replyBytes == 0)
            return QStringLiteral("no reply to the entry bytes ") + hexBytesText(EntryBytes)
                + QStringLiteral("; is the device waiting in FLASH3 boot mode?");
        return QStringLiteral("the device replied ")
            + (r.replyBytes == 1 ? hexByteText(r.reply1) : hexBytesText(std::array<int, 2>{r.reply0, r.reply1}))
            + QStringLiteral(" to the entry bytes, expected ") + hexBytesText(EntryReply);
    case FailureCause::WrongAnswer:
        return QStringLiteral("the device answered %1, expected %2").arg(hexByteText(r.received), hexByteText(r.expected));
    case FailureCause::NoAnswer:
        return QStringLiteral("the device did not answer in time, expected %1").arg(hexByteText(r.expected));
    case FailureCause::BadLineEnd:
        return QStringLiteral("the image has a line end that is not CR LF");
    case FailureCause::IncompleteRecord:
        return QStringLiteral("the image ends inside a record (cut short?)");
    case FailureCause::ImageReadError:
        return QStringLiteral("the image file could not be read");
    case FailureCause::ImageChanged:
        return QStringLiteral("the image file changed during the run; what was sent is not what was checked");
    case FailureCause::InvalidMode:
        return QStringLiteral("internal error: ProgramMode %1").arg(r.mode);
    case FailureCause::LineNeverQuiet:
        return QStringLiteral("the device kept sending after the entry bytes; the line never fell quiet (wrong speed, "
                              "or not in FLASH3 boot mode?)");
    default:
        return QStringLiteral("the run ended before the end of the image");
    }
}

QString refusal(const RunReport& r, const VerdictContext& c)
{
    switch (r.cause) {
    case FailureCause::ImageFaults:
        return QStringLiteral("the image has %1").arg(faultText(r));
    case FailureCause::ImageTooLarge:
        return QStringLiteral("the image '%1' is too large").arg(c.image);
    case FailureCause::ImageEmpty:
        return QStringLiteral("the image '%1' holds no records").arg(c.image);
    case FailureCause::PortNotOpen:
        return QStringLiteral("cannot open %1").arg(portText(c));
    case FailureCause::ImageChanged:
        return QStringLiteral("the image '%1' was replaced after the log and the report read it").arg(c.image);
    case FailureCause::ImageDigestMismatch:
        return QStringLiteral("the image's SHA-256 does not match ") + r.digestSource;
    case FailureCause::ChecksumFileUnusable:
        return QStringLiteral("the checksum file ") + r.digestSource + QLatin1Char(' ') + r.digestProblem;
    default:
        if (!r.imageOpenError.isEmpty())
            return QStringLiteral("the image '") + c.image + QStringLiteral("' ") + r.imageOpenError;
        return QStringLiteral("cannot open the image '%1'").arg(c.image);
    }
}

} // namespace

QString verdictLine(RunOutcome outcome, const RunReport& r, const VerdictContext& c)
{
    const QString head = QStringLiteral("flash3-cli: ");
    if (c.portFailed)
        return head + QStringLiteral("refused: cannot open %1; nothing was sent").arg(portText(c));
    if (c.interrupted) {
        if (!r.started || (r.record == 0 && r.bytesSent == 0))
            return head + QStringLiteral("interrupted before the first image byte was sent");
        return head + QStringLiteral("interrupted %1 after %2; the device holds part of the image: cycle its power "
                                     "and flash again")
                          .arg(where(r), plural(r.bytesSent, "byte", "bytes"));
    }
    if (!r.started && r.cause == FailureCause::ImageFaults && !c.lineEnds.isEmpty())
        return head + QStringLiteral("refused: the image's line ends are ") + c.lineEnds
            + QStringLiteral(" alone, not CR LF (converted by an editor or a text-mode file transfer); --check finds ")
            + plural(c.checkFaults, "fault", "faults") + QStringLiteral("; nothing was sent. Restore CR LF with ")
            + restoreCrLf(c) + QStringLiteral(", or flash the original file");
    if (!r.started && r.cause == FailureCause::ImageFaults)
        return head + QStringLiteral("refused: %1; nothing was sent (--check lists the faults; --force flashes "
                                     "such an image anyway)")
                          .arg(refusal(r, c));
    if (!r.started)
        return head + QStringLiteral("refused: %1; nothing was sent").arg(refusal(r, c));
    if (outcome == RunOutcome::Completed) {
        // One arg() call: the device path is the user's text, and a "%1" in it
        // must not take the seconds.
        const QString summary = QStringLiteral("%1, %2 to %3 in %4 s")
                                    .arg(plural(r.record, "record", "records"), plural(r.bytesSent, "byte", "bytes"),
                                         portText(c), QString::number(c.seconds, 'f', 1));
        if (r.faultyRecords > 0)
            return head + QStringLiteral("completed WITH %1 skipped or taken as 0 (--force): %2")
                              .arg(faultText(r), summary);
        return head + QStringLiteral("completed: ") + summary;
    }
    return head + QStringLiteral("FAILED %1: %2").arg(where(r), cause(r));
}

} // namespace flash3::cli
