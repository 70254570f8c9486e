// The entry handshake: send E1 and 94, then collect the device's reply until
// the line has been quiet for TimeoutReload ticks, and accept it when its last
// two bytes are 91 26.

#include "app/form1.h"
#include "app/text_format.h"
#include "protocol/wire.h"

namespace flash3 {

void Form1::SendEntryByte1()
{
    if (!sendEntryByte(EntryBytes[0]))
        return;
    ProgramMode = RunMode::SendEntryByte2;
}

void Form1::SendEntryByte2()
{
    if (!sendEntryByte(EntryBytes[1]))
        return;
    TimeoutCount = TimeoutReload;
    ProgramMode = RunMode::AwaitEntryReply;
}

bool Form1::sendEntryByte(uint8_t byte)
{
    Msg = QStringLiteral("Program Mode = ") + QString::number(modeNumber(ProgramMode));
    PostMsg1(Msg);
    TxByte = byte;
    SendTxByte();
    if (DrvStatus != 0) {
        // The device cannot have seen the entry sequence; waiting for a reply is pointless.
        LastRunReport.driverStatus = DrvStatus;
        failRun(FailureCause::SendFailed);
        return false;
    }
    return true;
}

void Form1::AwaitEntryReply()
{
    Msg = QStringLiteral("Program Mode = ") + QString::number(modeNumber(ProgramMode))
        + QStringLiteral(" ... please wait");
    PostMsg1(Msg);
    ReadByteIfAny();
    if (RxByte != -1) {
        // Take in everything waiting; only the last two bytes count, and the
        // reply is never judged in a tick in which bytes arrived.
        while (RxByte != -1) {
            LastByte0 = LastByte1;
            LastByte1 = static_cast<int16_t>(RxByte);
            ++replyBytes_;
            replyTail_.push_back(RxByte);
            if (replyTail_.size() > 8)
                replyTail_.erase(replyTail_.begin());
            TimeoutCount = TimeoutReload;
            ReadByteIfAny();
        }
        return;
    }
    if (TimeoutCount != 0)
        return;
    if (LastByte0 == EntryReply[0] && LastByte1 == EntryReply[1]) {
        ReadNextRecord();
        return;
    }
    Msg = QStringLiteral("Unexpected data read trying to initialize.");
    PostMsg2(Msg);
    Msg = QStringLiteral("LastByte0 = ") + hexText(LastByte0) + QStringLiteral("  LastByte1 = ") + hexText(LastByte1);
    PostMsg2(Msg);
    LastRunReport.replyBytes = replyBytes_;
    LastRunReport.reply0 = LastByte0;
    LastRunReport.reply1 = LastByte1;
    failRun(FailureCause::EntryRejected);
}

} // namespace flash3
