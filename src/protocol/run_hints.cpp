// What to do next after a run failed: "Hint: " lines in the Debug log, after
// the failure's own line and before the run's closing lines.

#include "app/form1.h"
#include "app/text_format.h"
#include "ports/port_map.h"
#include "protocol/wire.h"

namespace flash3 {

void Form1::postHint(const QString& text)
{
    Msg = QStringLiteral("Hint: ") + text;
    PostMsg2(Msg);
}

QString Form1::portText() const
{
    return QStringLiteral("COM %1 (%2)").arg(QString::number(ComPort), devicePathForCom(ComPort));
}

void Form1::postRunHints(FailureCause cause)
{
    const bool cli = Hints == HintsFor::Cli;
    if (cause == FailureCause::DeviceGone) {
        postHint(QStringLiteral("The device on ") + portText()
                 + (cli ? QStringLiteral(" is gone: unplugged or powered off? After plugging it in again, run "
                                         "flash3-cli again.")
                        : QStringLiteral(" is gone: unplugged or powered off? After plugging it in again, set the "
                                         "port up again (\"Configure COM port\", \"Initialize\").")));
        return;
    }
    switch (cause) {
    case FailureCause::EntryRejected:
        if (replyBytes_ == 0) {
            postHint(QStringLiteral("No byte came back after the entry bytes ") + hexBytesText(EntryBytes)
                     + QStringLiteral(": check the device's power, that it waits in FLASH3 boot mode, the cable, "
                                      "and that it is on ")
                     + portText() + QLatin1Char('.'));
            return;
        }
        postHint((QStringLiteral("The device sent %1 byte%2%3 %4 where ") + hexBytesText(EntryReply)
                  + QStringLiteral(" was due."))
                     .arg(replyBytes_)
                     .arg(replyBytes_ == 1 ? "" : "s")
                     .arg(replyBytes_ > static_cast<int>(replyTail_.size()) ? ", the last" : ":")
                     .arg(hexBytesText(replyTail_)));
        // The two bytes due, read at another speed, come out as two others:
        // neither is the byte due in its place. One byte, more than two, or
        // a due byte among them points at the device instead (a reply cut
        // short, chatter, another mode).
        if (replyBytes_ == 2 && LastByte0 != EntryReply[0] && LastByte1 != EntryReply[1])
            postHint(cli ? QStringLiteral("Bytes like these often mean the speed does not match the device's: run "
                                          "again with another speed (-s 9.6, 19.2, 38.4, 57.6 or 115.2).")
                         : QStringLiteral("Bytes like these often mean the speed does not match the device's: try "
                                          "another speed (the port dialog's speed buttons; flash3-cli -s)."));
        else
            postHint(cli ? QStringLiteral("Is the device waiting in FLASH3 boot mode? Cycle its power and run "
                                          "flash3-cli again.")
                         : QStringLiteral("Is the device waiting in FLASH3 boot mode? Cycle its power and try again."));
        return;
    case FailureCause::NoAnswer:
        postHint(QStringLiteral("The device stopped answering in the middle of the image: cycle its power and run the "
                                "image again."));
        return;
    case FailureCause::WrongAnswer:
        postHint(QStringLiteral("The device answered otherwise than the image expects: is this the image for this "
                                "device? Cycle its power and run it again."));
        return;
    case FailureCause::SendFailed:
        postHint(QStringLiteral("A byte could not be sent to ") + portText()
                 + (cli ? QStringLiteral(": check the cable and the adapter, and run flash3-cli again.")
                        : QStringLiteral(": check the cable and the adapter, set the port up again, and run again.")));
        return;
    default:
        return;
    }
}

} // namespace flash3
