#pragma once
// frmAbout: title, version, purpose and the maker's contact notice, and a
// button that starts the system-information viewer. Opened without an owner,
// deleted when closed.

#include "ui/twips_layout.h"

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace flash3::ui {

class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

    // Finds and starts the system-information viewer, or says it is unavailable.
    void StartSysInfo();

    double layoutScale() const { return layout_.scale(); }

    static QString disclaimerText();

private:
    // Starts `program` detached, without a shell; false when it could not be started.
    static bool startViewer(const QString& program);
    void showUnavailable();

    TwipsLayout layout_;
    QLabel* picIcon_ = nullptr;
    QLabel* lblTitle_ = nullptr;
    QLabel* lblVersion_ = nullptr;
    QLabel* lblDescription_ = nullptr;
    QLabel* lblDisclaimer_ = nullptr;
    QWidget* line1_[2] = {};
    QPushButton* cmdOK_ = nullptr;
    QPushButton* cmdSysInfo_ = nullptr;
};

#ifdef Q_OS_WIN
// Reads the value `SubKeyRef` of the key `KeyName` below `KeyRoot` into `KeyVal`.
// True when it was read; false, with `KeyVal` empty, when the key or the value
// cannot be opened or read. A value without data throws SysInfoError.
bool GetKeyValue(HKEY KeyRoot, const QString& KeyName, const QString& SubKeyRef, QString& KeyVal);
struct SysInfoError {};
#endif

} // namespace flash3::ui
