#include "list_ports.h"

#include "cli.h"

#include "ports/port_map.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace flash3::cli {

namespace {

QString comText(const ListedPort& p)
{
    if (p.comPorts.isEmpty())
        return QStringLiteral("-");
    QStringList coms;
    for (int n : p.comPorts)
        coms << QStringLiteral("COM%1").arg(n);
    return coms.join(QLatin1Char(','));
}

QString detailText(const ListedPort& p)
{
    if (!p.present)
        return QStringLiteral("MISSING (bound by %1)").arg(p.origin);
    QStringList parts;
    for (const QString& part : {p.description, p.manufacturer})
        if (!part.isEmpty())
            parts << part;
    if (!p.usbId.isEmpty())
        parts << QStringLiteral("USB ") + p.usbId;
    if (!p.serialNumber.isEmpty())
        parts << QStringLiteral("serial ") + p.serialNumber;
    if (!p.byIdPath.isEmpty())
        parts << p.byIdPath;
    if (!p.origin.isEmpty())
        parts << QStringLiteral("bound by ") + p.origin;
    return parts.join(QStringLiteral(", "));
}

QJsonValue orNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

int listPorts(bool json)
{
    for (const QString& warning : portMapWarnings())
        std::fprintf(stderr, "flash3-cli: %s\n", warning.toLocal8Bit().constData());
    const QList<ListedPort> ports = listSerialPorts();
    if (json) {
        QJsonArray list;
        for (const ListedPort& p : ports) {
            QJsonArray coms;
            for (int n : p.comPorts)
                coms.append(n);
            list.append(QJsonObject{{"com", coms},
                                    {"device", p.devicePath},
                                    {"present", p.present},
                                    {"byId", orNull(p.byIdPath)},
                                    {"description", orNull(p.description)},
                                    {"manufacturer", orNull(p.manufacturer)},
                                    {"usbId", orNull(p.usbId)},
                                    {"serialNumber", orNull(p.serialNumber)},
                                    {"binding", orNull(p.origin)}});
        }
        std::fputs(QJsonDocument(list).toJson(QJsonDocument::Indented).constData(), stdout);
        return ExitCompleted;
    }
    if (ports.isEmpty())
        std::puts("No serial ports found.");
    for (const ListedPort& p : ports)
        std::printf("%-12s %-24s %s\n", qPrintable(comText(p)), qPrintable(p.devicePath), qPrintable(detailText(p)));
    return ExitCompleted;
}

} // namespace flash3::cli
