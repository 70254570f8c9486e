#include "ui/about_dialog.h"

#include "ui/app_identity.h"

#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

#include <algorithm>
#include <cstring>

namespace flash3::ui {

namespace {

QWidget* makeLine(QWidget* parent, const char* name, const QColor& colour)
{
    auto* line = new QWidget(parent);
    line->setObjectName(QString::fromLatin1(name));
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, colour);
    line->setPalette(palette);
    return line;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, bool black)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    if (black) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, Qt::black);
        label->setPalette(palette);
    }
    return label;
}

} // namespace

QString AboutDialog::disclaimerText()
{
    // Five pieces separated by runs of blanks; the label wraps them.
    return QStringLiteral("This application was developed by:     Brenholt Signalworks Ltd.     "
                          "Tel. +44 1632 960 417     support@brenholt.example     www.brenholt.example");
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent), layout_(this, QSize(5730, 3555))
{
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setWindowIcon(applicationIcon());
    setWindowTitle(QStringLiteral("About ") + applicationTitle());

    picIcon_ = new QLabel(this);
    picIcon_->setObjectName(QStringLiteral("picIcon"));
    lblTitle_ = makeLabel(this, "lblTitle", applicationTitle(), true);
    lblVersion_ = makeLabel(this, "lblVersion", versionText(), false);
    lblDescription_ = makeLabel(this, "lblDescription",
                                QStringLiteral("Used to voDOZUD the operational firmware of an KORVEN-7 "
                                               "interface device using FLASH3 mode."),
                                true);
    lblDescription_->setWordWrap(true);
    // Grey over white makes the etched separator.
    line1_[1] = makeLine(this, "Line1(1)", QColor(128, 128, 128));
    line1_[0] = makeLine(this, "Line1(0)", QColor(255, 255, 255));
    lblDisclaimer_ = makeLabel(this, "lblDisclaimer", disclaimerText(), true);
    lblDisclaimer_->setWordWrap(true);
    cmdOK_ = new QPushButton(QStringLiteral("OK"), this);
    cmdOK_->setObjectName(QStringLiteral("cmdOK"));
    cmdSysInfo_ = new QPushButton(QStringLiteral("&System Info..."), this);
    cmdSysInfo_->setObjectName(QStringLiteral("cmdSysInfo"));

    // OK answers both Enter (default) and Escape (reject closes too).
    cmdOK_->setDefault(true);
    cmdOK_->setAutoDefault(true);
    cmdSysInfo_->setAutoDefault(false);

    // The picture box takes the size of its picture, 32 pixels at 96 dpi.
    layout_.place(picIcon_, 240, 240, 480, 480);
    layout_.place(lblTitle_, 1050, 240, 3885, 480);
    layout_.place(lblVersion_, 1050, 840, 3885, 225);
    layout_.place(lblDescription_, 1080, 1320, 3885, 930);
    layout_.place(lblDisclaimer_, 255, 2625, 3870, 825);
    layout_.place(cmdOK_, 4245, 2625, 1260, 345);
    layout_.place(cmdSysInfo_, 4260, 3075, 1245, 345);
    layout_.apply();
    // The lines keep their widths in pixels (1 and 2) at any scale.
    const QRect grey = layout_.toPixels(QRect(90, 2445, 5654 - 90, 0));
    const QRect white = layout_.toPixels(QRect(105, 2460, 5654 - 105, 0));
    line1_[1]->setGeometry(grey.x(), grey.y(), grey.width(), 1);
    line1_[0]->setGeometry(white.x(), std::max(white.y(), grey.y() + 1), white.width(), 2);
    picIcon_->setPixmap(applicationIcon().pixmap(picIcon_->size()));
    picIcon_->setAlignment(Qt::AlignCenter);

    setTabOrder(cmdOK_, picIcon_);
    setTabOrder(picIcon_, cmdSysInfo_);
    cmdOK_->setFocus();

    connect(cmdOK_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdSysInfo_, &QPushButton::clicked, this, &AboutDialog::StartSysInfo);
}

bool AboutDialog::startViewer(const QString& program)
{
    return !program.isEmpty() && QProcess::startDetached(program, {});
}

void AboutDialog::showUnavailable()
{
    QMessageBox box(QMessageBox::NoIcon, applicationTitle(), QStringLiteral("System Information Is Unavailable At This Time"),
                    QMessageBox::Ok, this);
    // Nothing but the text and OK: some styles decorate dialog buttons with icons.
    box.button(QMessageBox::Ok)->setIcon(QIcon());
    box.exec();
}

#ifdef Q_OS_WIN

bool GetKeyValue(HKEY KeyRoot, const QString& KeyName, const QString& SubKeyRef, QString& KeyVal)
{
    // Query, set, create-subkey, enumerate, notify and create-link, plus read-control.
    constexpr REGSAM Access = 0x2003F;
    HKEY key = nullptr;
    const QByteArray keyName = KeyName.toLocal8Bit();
    if (RegOpenKeyExA(KeyRoot, keyName.constData(), 0, Access, &key) != ERROR_SUCCESS) {
        KeyVal.clear();
        return false;
    }
    char buffer[1024];
    DWORD size = sizeof buffer;
    DWORD type = 0;
    const QByteArray valueName = SubKeyRef.toLocal8Bit();
    const LONG status =
        RegQueryValueExA(key, valueName.constData(), nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        KeyVal.clear();
        return false;
    }
    if (size == 0)
        throw SysInfoError();
    DWORD length = size;
    if (buffer[length - 1] == '\0')
        --length;
    if (type == REG_SZ) {
        KeyVal = QString::fromLocal8Bit(buffer, static_cast<qsizetype>(length));
    } else if (type == REG_DWORD && size >= sizeof(DWORD)) {
        DWORD number = 0;
        std::memcpy(&number, buffer, sizeof number);
        KeyVal = QString::number(number);
    }
    return true;
}

void AboutDialog::StartSysInfo()
{
    try {
        QString path;
        if (GetKeyValue(HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                        QStringLiteral("PATH"), path)) {
            if (startViewer(path))
                return;
        } else if (GetKeyValue(HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                               QStringLiteral("MSINFO"), path)
                   && QFileInfo::exists(path + QStringLiteral("\\MSINFO32.EXE"))) {
            path += QStringLiteral("\\MSINFO32.EXE");
            if (startViewer(path))
                return;
        }
    } catch (const SysInfoError&) {
    }
    showUnavailable();
}

#else

void AboutDialog::StartSysInfo()
{
    // First the viewer the user named, started as given (a wrong name ends in
    // the message box, like a wrong registry entry would); then the first
    // known viewer installed.
    const QString chosen = qEnvironmentVariable("FLASH3_SYSINFO");
    if (!chosen.isEmpty()) {
        if (startViewer(chosen))
            return;
    } else {
        for (const char* name : {"hardinfo", "kinfocenter", "gnome-system-monitor"}) {
            const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
            if (!path.isEmpty()) {
                if (startViewer(path))
                    return;
                break;
            }
        }
    }
    showUnavailable();
}

#endif

} // namespace flash3::ui
