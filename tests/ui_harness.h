#pragma once
// The desktop program's main window over an engine with a fake device, for
// tests that click through the windows.

#include "engine_harness.h"

#include "ui/about_dialog.h"
#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace flash3::testing {

// Acts on the first visible modal top-level widget of type T from inside its
// modal loop, which the next call opens; `count` says how many it acted on.
template <typename T>
class ModalAnswer {
public:
    explicit ModalAnswer(std::function<void(T&)> act) : act_(std::move(act))
    {
        poll_.setInterval(5);
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* dialog = qobject_cast<T*>(w); dialog && dialog->isVisible() && dialog->isModal()) {
                    ++count;
                    act_(*dialog);
                    return;
                }
            }
        });
        poll_.start();
    }
    int count = 0;

private:
    std::function<void(T&)> act_;
    QTimer poll_;
};

// Started as the program does.
class Ui {
public:
    explicit Ui(const QStringList& arguments = {})
    {
        MainStartUp(e.form, arguments);
        window.show();
    }
    Engine e;
    ui::MainWindow window{e.form};

    template <typename T = QWidget>
    T* child(const QString& name) const
    {
        T* w = window.findChild<T*>(name);
        EXPECT_NE(w, nullptr) << qPrintable(name);
        return w;
    }
    QString text(int n) const { return child<QLineEdit>(QStringLiteral("Text%1").arg(n))->text(); }
    QListWidget* ports() const { return child<QListWidget>(QStringLiteral("ComPortList")); }
    QRadioButton* speed(int i) const { return child<QRadioButton>(QStringLiteral("ComBaudBtn(%1)").arg(i)); }
    void click(const char* name) { QTest::mouseClick(child<QPushButton>(QString::fromLatin1(name)), Qt::LeftButton); }
    void clickPort(int row, Qt::KeyboardModifiers modifiers = {})
    {
        QListWidget* list = ports();
        list->scrollToItem(list->item(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, list->visualItemRect(list->item(row)).center());
    }
    ui::AboutDialog* openAbout()
    {
        child<QAction>(QStringLiteral("menuHelpAbout"))->trigger();
        return window.aboutDialog();
    }
    // Object names of the widgets the Tab key visits from the focus, `steps` times.
    static QStringList tabCycle(int steps)
    {
        QStringList order{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < steps; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        return order;
    }
};

} // namespace flash3::testing
