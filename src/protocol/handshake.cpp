// The entry handshake: send E1 and 94, then collect the device's reply until
// the line has been quiet for TimeoutReload ticks, and accept it when its last
// two bytes are 91 26.

#include "app/form1.h"
#include "app/text_format.h"

namespace flash3 {

namespace {
constexpr int32_t EntryByte1 = 0xE1;
constexpr int32_t EntryByte2 = 0x94;
constexpr int16_t ReplyByte0 = 0x91;
constexpr int16_t ReplyByte1 = 0x26;
} // namespace

void Form1::SendEntryByte1()
{
    Msg = QStringLiteral("Program Mode = ") + QString::number(modeNumber(ProgramMode));
    PostMsg1(Msg);
    TxByte = EntryByte1;
    SendTxByte();
    if (DrvStatus != 0) {
        // The device cannot have seen the entry sequence; waiting for a reply is pointless.
        LastRunReport.driverStatus = DrvStatus;
        failRun(FailureCause::SendFailed);
        return;
    }
    ProgramMode = RunMode::SendEntryByte2;
}

void Form1::SendEntryByte2()
{
    Msg = QStringLiteral("Program Mode = ") + QString::number(modeNumber(ProgramMode));
    PostMsg1(Msg);
    TxByte = EntryByte2;
    SendTxByte();
    if (DrvStatus != 0) {
        LastRunReport.driverStatus = DrvStatus;
        failRun(FailureCause::SendFailed);
        return;
    }
    TimeoutCount = TimeoutReload;
    ProgramMode = RunMode::AwaitEntryReply;
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
    if (LastByte0 == ReplyByte0 && LastByte1 == ReplyByte1) {
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
