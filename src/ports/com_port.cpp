// The COM port as the main window uses it: open and configure, flush, poll a
// byte, send a byte, close. Every failure becomes one log line.

#include "app/form1.h"
#include "ports/port_hints.h"
#include "ports/port_map.h"
#include "serial/line_speeds.h"

namespace flash3 {

void Form1::InitComPort()
{
    ComPort = window_.portDialog().portListIndex;
    if (ComPort < 1 || ComPort > 99) {
        Msg = QStringLiteral("COM Port selection is invalid.");
        PostMsg2(Msg);
        return;
    }
    const LineSpeed* speed = lineSpeed(ComSpeed);
    if (!speed) {
        Msg = QStringLiteral("COM Speed selection is invalid.");
        PostMsg2(Msg);
        return;
    }
    if (PortOpen) {
        Msg = QStringLiteral("** ERROR ** COM Port already open.");
        PostMsg2(Msg);
        return;
    }

    if (!portMapWarned_) {
        portMapWarned_ = true;
        for (const QString& warning : portMapWarnings())
            postHint(warning);
    }
    PortIndex = ComPort - 1;
    DrvStatus = driver_.InitializePort(ComPort, PortIndex, 0, 0, 9, 0, 1024, 1024, 0);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error initializing COM port#: ") + QString::number(ComPort)
            + QStringLiteral("  error code: ") + QString::number(DrvStatus);
        PostMsg2(Msg);
        for (const QString& hint : portOpenHints(ComPort, DrvStatus, Hints))
            postHint(hint);
        return;
    }
    DrvStatus = driver_.ser_rs232_getport(ComPort, &PortParams);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error setting COM port parameters: ") + QString::number(DrvStatus);
        PostMsg2(Msg);
        return;
    }
    const int32_t baudCode = speed->code;
    PortParams.setInt32(PortParamRecord::BaudCodeOffset, baudCode);
    PortParams.setInt16(12, 0);
    PortParams.setInt16(14, 3);
    PortParams.setInt16(16, 0);
    PortParams.setInt16(20, 0);
    DrvStatus = driver_.SetPortCharacteristics(ComPort, baudCode, 0, 3, 0, 0);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error setting COM port characteristics: ") + QString::number(DrvStatus);
        PostMsg2(Msg);
        return;
    }
    DrvStatus = driver_.SetTimerResolution(ComPort, 1);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error setting timer resolution: ") + QString::number(DrvStatus);
        PostMsg2(Msg);
    }
    DrvStatus = driver_.SetTimeout(ComPort, 20);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error setting time out: ") + QString::number(DrvStatus);
        PostMsg2(Msg);
    }
    DrvStatus = driver_.SetPaceTime(ComPort, 0);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error setting pace time: ") + QString::number(DrvStatus);
        PostMsg2(Msg);
    }
    Msg = QStringLiteral("COM port initialized and opened.");
    PostMsg2(Msg);
    window_.setText(TextId::Text2, QStringLiteral("COM") + QString::number(ComPort) + QStringLiteral(": at "));
    window_.setText(TextId::Text2, window_.text(TextId::Text2).text + QString::fromLatin1(speed->kbaud)
                       + QStringLiteral(" kbaud"));
    PortOpen = True;
    portGone_ = false;
    FlushBuffers();
    IsrActive = False;
    window_.setTimerEnabled(true);
}

void Form1::FlushBuffers()
{
    if (!PortOpen)
        return;
    DrvStatus = driver_.FlushReceiveBuffer(ComPort);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error flushing receive buffer = ") + QString::number(DrvStatus);
        PostMsg2(Msg);
        return;
    }
    DrvStatus = driver_.FlushTransmitBuffer(ComPort);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error flushing transmit buffer = ") + QString::number(DrvStatus);
        PostMsg2(Msg);
    }
}

void Form1::ReadByteIfAny()
{
    RxByte = -1;
    if (!PortOpen)
        return;
    DrvStatus = driver_.IsReceiveBufferEmpty(ComPort);
    if (DrvStatus != 0) {
        if (DrvStatus == DrvIoError)
            portGone_ = true;
        return;
    }
    const int32_t got = driver_.GetByte(ComPort);
    if (got == -DrvIoError)
        portGone_ = true;
    // A byte that could not be read is no byte; its error code must not pass for data.
    if (got >= 0)
        RxByte = got & 0xFF;
}

void Form1::SendTxByte()
{
    PortBusy = True;
    DrvStatus = driver_.PutByte(ComPort, TxByte);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error in put byte: ") + QString::number(DrvStatus);
        PostMsg2(Msg);
        if (DrvStatus == DrvIoError)
            portGone_ = true;
    }
    PortBusy = False;
}

void Form1::ClosePort(LogId successLog)
{
    DrvStatus = driver_.UnInitializePort(ComPort);
    if (DrvStatus != 0) {
        Msg = QStringLiteral("Error: ") + QString::number(DrvStatus) + QStringLiteral(" closing COM port: ")
            + QString::number(ComPort);
        PostMsg2(Msg);
    } else {
        Msg = QStringLiteral("Closed COM port: ") + QString::number(ComPort);
        if (successLog == LogId::List1)
            PostMsg1(Msg);
        else
            PostMsg2(Msg);
    }
    PortOpen = False;
}

} // namespace flash3
