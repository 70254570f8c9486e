#include "ui/main_window.h"

#include "ui/about_dialog.h"
#include "ui/app_identity.h"
#include "ui/file_dialog.h"
#include "ui/log_view.h"
#include "ui/port_dialog.h"

#include "app/form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>

namespace flash3::ui {

namespace {

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    // No button of this window answers Enter.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* caption, Qt::Alignment alignment)
{
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(alignment | Qt::AlignTop);
    return label;
}

} // namespace

MainWindow::MainWindow(Form1& form, QWidget* parent)
    : QMainWindow(parent), form_(form), client_(new QWidget(this)), layout_(client_, QSize(7035, 6915))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("KORVEN-7 voDOZUD Application - FLASH3"));
    setWindowIcon(applicationIcon());
    client_->setObjectName(QStringLiteral("Form1Client"));
    setCentralWidget(client_);

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("menuHelp"));
    QAction* about = help->addAction(QStringLiteral("About"));
    about->setObjectName(QStringLiteral("menuHelpAbout"));
    connect(about, &QAction::triggered, this, &MainWindow::menuHelpAbout_Click);

    const WindowModel& model = form_.window();
    label_[1] = makeLabel(client_, "Label1", "Status1", Qt::AlignHCenter);
    list1_ = new LogView(form_.window(), LogId::List1, client_);
    clearStatus_ = makeButton(client_, "ClearStatus", QStringLiteral("Clear Status1"));
    selectInputFile_ = makeButton(client_, "SelectInputFile", model.button(ButtonId::SelectInputFile).caption);
    configComPort_ = makeButton(client_, "ConfigComPort", model.button(ButtonId::ConfigComPort).caption);
    programFlash_ = makeButton(client_, "ProgramFlash", model.button(ButtonId::ProgramFlash).caption);
    abortProgram_ = makeButton(client_, "AbortProgram", model.button(ButtonId::AbortProgram).caption);
    for (int i = 0; i < 5; ++i) {
        text_[i] = new QLineEdit(client_);
        text_[i]->setObjectName(QStringLiteral("Text%1").arg(i + 1));
    }
    for (TextId id : {TextId::Text3, TextId::Text4, TextId::Text5})
        edit(id)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label_[3] = makeLabel(client_, "Label3", "Status2", Qt::AlignHCenter);
    // "Debug" lies under the Debug log and is hidden by it: created first, it stays below.
    label_[2] = makeLabel(client_, "Label2", "Debug", Qt::AlignHCenter);
    list2_ = new LogView(form_.window(), LogId::List2, client_);
    label_[2]->stackUnder(list2_);
    clearDebug_ = makeButton(client_, "ClearDebug", QStringLiteral("Clear Status2"));
    label_[4] = makeLabel(client_, "Label4", "Remaining", Qt::AlignRight);
    label_[5] = makeLabel(client_, "Label5", "Completed", Qt::AlignRight);
    // Shown only while the image is checked before a run: a large image takes a while.
    checkLabel_ = makeLabel(client_, "CheckLabel", "", Qt::AlignLeft);
    checkLabel_->hide();

    // Boxes in twips. Label1 and Label3 would reach 15 twips (one pixel) into
    // the list under them, and List1 as far into "Clear Status1": on a pixel
    // grid that strip would be painted twice, so each ends where the next begins.
    layout_.place(label_[1], 2880, 0, 1215, 240);
    layout_.place(list1_, 480, 240, 6375, 1800);
    layout_.place(clearStatus_, 840, 2040, 1215, 255);
    layout_.place(selectInputFile_, 360, 2520, 1695, 375);
    layout_.place(edit(TextId::Text1), 2280, 2640, 4575, 285);
    layout_.place(configComPort_, 360, 3120, 1695, 375);
    layout_.place(edit(TextId::Text2), 2280, 3240, 4575, 285);
    layout_.place(label_[3], 3840, 3720, 1215, 240);
    layout_.place(programFlash_, 360, 3960, 1695, 375);
    layout_.place(list2_, 2280, 3960, 4575, 1815);
    layout_.place(label_[2], 3960, 4080, 1215, 255);
    layout_.place(clearDebug_, 840, 5640, 1215, 255);
    layout_.place(checkLabel_, 2280, 6120, 1860, 255);
    layout_.place(label_[4], 4200, 6120, 975, 255);
    layout_.place(edit(TextId::Text3), 5280, 6120, 735, 285);
    layout_.place(abortProgram_, 360, 6240, 1695, 375);
    layout_.place(label_[5], 4200, 6480, 975, 255);
    layout_.place(edit(TextId::Text4), 5280, 6480, 735, 285);
    layout_.place(edit(TextId::Text5), 6120, 6480, 735, 285);
    // The captions and values these boxes show at other times.
    layout_.requireText(programFlash_, QStringLiteral("Abort Process"));
    layout_.requireText(edit(TextId::Text5), QStringLiteral("100.0 %"));
    layout_.apply();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(selectInputFile_, programFlash_);
    setTabOrder(programFlash_, abortProgram_);
    setTabOrder(abortProgram_, configComPort_);
    setTabOrder(configComPort_, edit(TextId::Text1));
    setTabOrder(edit(TextId::Text1), edit(TextId::Text2));
    setTabOrder(edit(TextId::Text2), list1_);
    setTabOrder(list1_, list2_);
    setTabOrder(list2_, clearStatus_);
    setTabOrder(clearStatus_, clearDebug_);
    setTabOrder(clearDebug_, edit(TextId::Text5));
    setTabOrder(edit(TextId::Text5), edit(TextId::Text4));
    setTabOrder(edit(TextId::Text4), edit(TextId::Text3));
    selectInputFile_->setFocus();

    connect(selectInputFile_, &QPushButton::clicked, this, [this] { form_.SelectInputFile_Click(); });
    connect(configComPort_, &QPushButton::clicked, this, [this] { form_.ConfigComPort_Click(); });
    connect(programFlash_, &QPushButton::clicked, this, [this] { form_.ProgramFlash_Click(); });
    connect(abortProgram_, &QPushButton::clicked, this, [this] { form_.AbortProgram_Click(); });
    connect(clearStatus_, &QPushButton::clicked, this, [this] { form_.ClearStatus_Click(); });
    connect(clearDebug_, &QPushButton::clicked, this, [this] { form_.ClearDebug_Click(); });
    for (LogView* log : {list1_, list2_}) {
        connect(log, &LogView::hint, this, [this](const QString& line) { form_.PostMsg2(line); });
    }

    form_.showOpenDialog = [this](const FileDialogSettings& settings) { return runOpenDialog(this, settings); };
    portDialog_ = new PortDialog(form_, this);

    for (TextId id : {TextId::Text1, TextId::Text2, TextId::Text3, TextId::Text4, TextId::Text5})
        textChanged(id);
    for (ButtonId id : {ButtonId::ProgramFlash, ButtonId::ConfigComPort, ButtonId::SelectInputFile, ButtonId::AbortProgram})
        buttonChanged(id);
    form_.window().addObserver(this);
}

MainWindow::~MainWindow()
{
    form_.window().removeObserver(this);
    form_.showOpenDialog = nullptr;
    delete about_;
}

AboutDialog* MainWindow::aboutDialog() const
{
    return about_.data();
}

QLineEdit* MainWindow::edit(TextId id) const
{
    return text_[static_cast<int>(id)];
}

QPushButton* MainWindow::button(ButtonId id) const
{
    switch (id) {
    case ButtonId::ProgramFlash:
        return programFlash_;
    case ButtonId::ConfigComPort:
        return configComPort_;
    case ButtonId::SelectInputFile:
        return selectInputFile_;
    case ButtonId::AbortProgram:
        return abortProgram_;
    }
    return nullptr;
}

void MainWindow::textChanged(TextId id)
{
    const TextBox& box = form_.window().text(id);
    QLineEdit* e = edit(id);
    e->setText(box.text);
    e->setCursorPosition(box.caret);
}

void MainWindow::buttonChanged(ButtonId id)
{
    const Button& model = form_.window().button(id);
    QPushButton* b = button(id);
    b->setText(model.caption);
    b->setEnabled(model.enabled);
}

void MainWindow::checkProgressChanged()
{
    const int percent = form_.window().checkProgress();
    checkLabel_->setVisible(percent >= 0);
    if (percent >= 0)
        checkLabel_->setText(QStringLiteral("Checking file: %1 %").arg(percent));
}

void MainWindow::menuHelpAbout_Click()
{
    if (!about_) {
        // No owner: it lives beside the main window, not above it.
        about_ = new AboutDialog();
        about_->show();
        return;
    }
    about_->show();
    about_->raise();
    about_->activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!form_.window().programEnded())
        form_.AbortProgram_Click();
    if (form_.window().programEnded())
        event->accept();
    else
        event->ignore();
}

void MainWindow::programEnded()
{
    // Every window goes, this one included; closing them runs no routine any more.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (window->isVisible())
            window->close();
    }
    emit programFinished();
}

} // namespace flash3::ui
