#include "ui/app_identity.h"

#include <QVersionNumber>

// The icons live in this static library; its resources must be registered by hand.
static void registerResources()
{
    Q_INIT_RESOURCE(flash3);
}

namespace flash3::ui {

QString applicationTitle()
{
    return QStringLiteral("KORVEN-7_vuZEZOZ3");
}

QString versionText()
{
    const QVersionNumber version = QVersionNumber::fromString(QStringLiteral(FLASH3_VERSION));
    return QStringLiteral("Version %1.%2.%3").arg(QString::number(version.majorVersion()), QString::number(version.minorVersion()), QString::number(version.microVersion()));
}

QIcon applicationIcon()
{
    static const bool registered = (registerResources(), true);
    Q_UNUSED(registered);
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addFile(QStringLiteral(":/flash3/icons/flash3-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace flash3::ui
