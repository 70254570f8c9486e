// Playing the image: bursts of T bytes within one tick, then R bytes verified
// against what the device sent, each within TimeoutReload ticks.

#include "app/form1.h"
#include "app/text_format.h"

namespace flash3 {

void Form1::TransmitStep()
{
    for (;;) {
        // With queued transmit a full queue leaves inside PutByte: should it
        // fail, the bytes queued before this one were not sent either.
        const int64_t queued = driver_.queuedBytes(ComPort);
        SendTxByte();
        if (DrvStatus != 0) {
            LastRunReport.bytesSent -= queued;
            // A byte missing from the firmware must never go unnoticed: stop here.
            LastRunReport.driverStatus = DrvStatus;
            failRun(FailureCause::SendFailed);
            break;
        }
        ++LastRunReport.bytesSent;
        ReadNextRecord();
        if (AbortPending)
            endRunAs(RunOutcome::Aborted);
        if (ProgramMode != RunMode::Transmit)
            break;
    }
    PortBusy = True;
    const int64_t queued = driver_.queuedBytes(ComPort);
    // A run that ended in this step (a byte refused, an abort) has said its
    // last line: the packet's error would only follow its "Stop time:".
    const bool endedHere = ProgramMode == RunMode::Idle && LastRunOutcome != RunOutcome::Completed;
    DrvStatus = driver_.ser_rs232_putpacket(ComPort, 0, "0");
    if (DrvStatus != 0 && !endedHere) {
        Msg = QStringLiteral("Error in put packet: ") + QString::number(DrvStatus);
        PostMsg2(Msg);
        if (DrvStatus == DrvIoError)
            portGone_ = true;
    }
    PortBusy = False;
    // With queued transmit the burst leaves here: bytes that could not be
    // sent end the run, as a byte refused by PutByte does, and do not count
    // as sent. (Without it the empty packet carries nothing, and its error is
    // only logged.)
    if (DrvStatus != 0 && driver_.queuedTransmit()) {
        LastRunReport.bytesSent -= queued;
        if (ProgramMode != RunMode::Idle) {
            LastRunReport.driverStatus = DrvStatus;
            failRun(FailureCause::SendFailed);
        }
    }
}

void Form1::VerifyStep()
{
    do {
        ReadByteIfAny();
        if (RxByte == -1) {
            if (TimeoutCount != 0)
                return;
            Msg = QStringLiteral("Error. Read time out.");
            PostMsg2(Msg);
            LastRunReport.expected = ExpectedByte;
            failRun(FailureCause::NoAnswer);
            return;
        }
        if (RxByte == ExpectedByte) {
            ReadNextRecord();
        } else {
            Msg = QStringLiteral("Error.  Expected = ") + hexText(ExpectedByte) + QStringLiteral("  Read = ")
                + hexText(RxByte);
            PostMsg2(Msg);
            LastRunReport.expected = ExpectedByte;
            LastRunReport.received = RxByte;
            failRun(FailureCause::WrongAnswer);
        }
    } while (ProgramMode == RunMode::Verify);
}

} // namespace flash3
