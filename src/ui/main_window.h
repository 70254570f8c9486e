#pragma once
// Form1, the main window: a view of the window model. Its buttons call the
// main window's routines; what the routines change is shown through the
// model's notifications.

#include "ui/twips_layout.h"

#include "app/window_model.h"

#include <QMainWindow>
#include <QPointer>

class QLabel;
class QLineEdit;
class QPushButton;

namespace flash3 {
class Form1;
}

namespace flash3::ui {

class AboutDialog;
class LogView;
class PortDialog;

class MainWindow : public QMainWindow, private WindowObserver
{
    Q_OBJECT

public:
    explicit MainWindow(Form1& form, QWidget* parent = nullptr);
    ~MainWindow() override;

    PortDialog* portDialog() const { return portDialog_; }
    // The About dialog while it is open, else null.
    AboutDialog* aboutDialog() const;
    double layoutScale() const { return layout_.scale(); }

    // Help > About: opens the About dialog, or brings the open one to the front.
    void menuHelpAbout_Click();

signals:
    // "Exit / Abort" ended the program and every window has been closed.
    void programFinished();

protected:
    // Closing from the window system is "Exit / Abort", refusals included.
    void closeEvent(QCloseEvent* event) override;

private:
    void textChanged(TextId id) override;
    void buttonChanged(ButtonId id) override;
    void checkProgressChanged() override;
    void programEnded() override;

    QLineEdit* edit(TextId id) const;
    QPushButton* button(ButtonId id) const;

    Form1& form_;
    QWidget* client_ = nullptr;
    TwipsLayout layout_;
    QLineEdit* text_[5] = {};
    QPushButton* programFlash_ = nullptr;
    QPushButton* configComPort_ = nullptr;
    QPushButton* selectInputFile_ = nullptr;
    QPushButton* abortProgram_ = nullptr;
    QPushButton* clearStatus_ = nullptr;
    QPushButton* clearDebug_ = nullptr;
    LogView* list1_ = nullptr;
    LogView* list2_ = nullptr;
    QLabel* label_[6] = {};  // [1..5] used, as Label1..Label5
    QLabel* checkLabel_ = nullptr;
    PortDialog* portDialog_ = nullptr;
    QPointer<AboutDialog> about_;
};

} // namespace flash3::ui
