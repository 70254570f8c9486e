// What to do next after a run failed: "Hint: " lines in the Debug log, after
// the failure's own line and before the run's closing lines.

#include "app/form1.h"
#include "serial/port_map.h"

namespace flash3 {

namespace {
QString bytesText(const std::vector<int>& bytes)
{
    QStringList hex;
    for (int b : bytes)
        hex << QStringLiteral("%1").arg(b & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
    return hex.join(QLatin1Char(' '));
}
} // namespace

void Form1::postHint(const QString& text)
{
    Msg = QStringLiteral("Hint: ") + text;
    PostMsg2(Msg);
}

QString Form1::portText() const
{
    return QStringLiteral("COM %1 (%2)").arg(ComPort).arg(devicePathForCom(ComPort));
}

void Form1::postRunHints(FailureCause cause)
{
    if (cause == FailureCause::DeviceGone) {
        postHint(QStringLiteral("The device on %1 is gone: unplugged or powered off? After plugging it in again, set "
                                "the port up again (\"Configure COM port\", \"Initialize\").")
                     .arg(portText()));
        return;
    }
    switch (cause) {
    case FailureCause::EntryRejected:
        if (replyBytes_ == 0) {
            postHint(QStringLiteral("No byte came back after the entry bytes E1 94: check the device's power, that it "
                                    "waits in FLASH3 boot mode, the cable, and that it is on %1.")
                         .arg(portText()));
            return;
        }
        postHint(QStringLiteral("The device sent %1 byte%2%3 %4 where 91 26 was due.")
                     .arg(replyBytes_)
                     .arg(replyBytes_ == 1 ? "" : "s")
                     .arg(replyBytes_ > static_cast<int>(replyTail_.size()) ? ", the last" : ":")
                     .arg(bytesText(replyTail_)));
        // Bytes at the wrong speed come out as garbage, usually more or fewer
        // than two and none of them the ones due.
        if (replyBytes_ != 2 || (LastByte0 != 0x91 && LastByte1 != 0x26))
            postHint(QStringLiteral("Bytes like these often mean the speed does not match the device's: try another "
                                    "speed (the port dialog's speed buttons; flash3-cli -s)."));
        else
            postHint(QStringLiteral("Is the device waiting in FLASH3 boot mode? Cycle its power and try again."));
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
        postHint(QStringLiteral("A byte could not be sent to %1: check the cable and the adapter, set the port up "
                                "again, and run again.")
                     .arg(portText()));
        return;
    default:
        return;
    }
}

} // namespace flash3
