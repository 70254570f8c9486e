#pragma once
// Form2, the COM port parameters dialog: port list "0".."99", the five speed
// buttons, "Initialize" and "Cancel". Created once, hidden; shown and hidden
// as the window model says, so its choices persist between showings.

#include "ui/twips_layout.h"

#include "app/window_model.h"

#include <QDialog>

class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace flash3 {
class Form1;
}

namespace flash3::ui {

class PortDialog : public QDialog, private WindowObserver
{
    Q_OBJECT

public:
    explicit PortDialog(Form1& form, QWidget* parent = nullptr);
    ~PortDialog() override;

    // Escape and the frame's close button act like "Cancel".
    void reject() override;

    double layoutScale() const { return layout_.scale(); }

private:
    void portDialogChanged() override;
    void showModel();
    void updateTabStops();
    // The row of the list's selected entry, -1 when none is.
    int selectedPort() const;

    Form1& form_;
    TwipsLayout layout_;
    QPushButton* initialize_ = nullptr;
    QGroupBox* frame2_ = nullptr;
    QRadioButton* baudBtn_[6] = {};  // [1..5] used, as ComBaudBtn's indexes
    QPushButton* cancel_ = nullptr;
    QListWidget* portList_ = nullptr;
    QLabel* label1_ = nullptr;
    QLabel* portInfo_ = nullptr;
    int infoIndex_ = -2;  // the number portInfo_ describes
    QStringList shownDevices_;  // the devices the list's entries are marked with
    QWidget* line3_ = nullptr;
    bool showingModel_ = false;
};

} // namespace flash3::ui
