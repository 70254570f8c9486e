// The COM port parameters dialog (Form2): its handlers and the main window's
// "Configure COM port" button that shows it.

#include "app/form1.h"
#include "serial/line_speeds.h"

#include "ports/port_map.h"

#include <QHash>

namespace flash3 {

void Form1::ConfigComPort_Click()
{
    if (window_.programEnded())
        return;
    window_.setTimerEnabled(false);
    if (IsrActive) {
        Msg = QStringLiteral("Com setup attempt failed, timer stopped. --> Try again !");
        PostMsg2(Msg);
        return;
    }
    if (PortOpen) {
        ClosePort(LogId::List2);
        IsrActive = False;
    }
    window_.setText(TextId::Text2, QString());
    // A device may have been plugged in since the dialog was last open.
    QHash<int, QString> devices;
    for (const ListedPort& port : listSerialPorts()) {
        if (!port.present)
            continue;
        const QString device = port.description.isEmpty()
                                   ? port.devicePath
                                   : port.devicePath + QStringLiteral(" (") + port.description + QLatin1Char(')');
        for (int n : port.comPorts)
            devices.insert(n, device);
    }
    QStringList entryDevices;
    for (const QString& entry : window_.portDialog().portList)
        entryDevices << devices.value(entry.toInt());
    window_.setPortDevices(entryDevices);
    window_.setPortDialogVisible(true);
}

void Form1::ComBaudBtn_Click(int index)
{
    if (!lineSpeed(index))
        return;
    window_.selectBaudBtn(index);
    ComSpeed = static_cast<int16_t>(index);
}

void Form1::Initialize_Click()
{
    InitComPort();
    window_.setPortDialogVisible(false);
}

void Form1::Cancel1_Click()
{
    Msg = QStringLiteral("Comms selection cancelled.");
    PostMsg2(Msg);
    window_.setPortDialogVisible(false);
}

} // namespace flash3
