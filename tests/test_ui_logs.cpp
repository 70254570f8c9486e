// The two logs as a technician takes them away: the context menu's Copy,
// Select All and Save As..., and Ctrl+C; a post still leaves the newest line
// current and nothing highlighted.

#include "engine_harness.h"
#include "qt_print.h"
#include "ui_harness.h"

#include "ui/log_view.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>

using namespace flash3;
using namespace flash3::testing;
using flash3::ui::LogView;

namespace {

LogView* logView(const Ui& ui, const char* name)
{
    return ui.child<LogView>(QString::fromLatin1(name));
}

QPoint rowCentre(const LogView* log, int row)
{
    return log->visualItemRect(log->item(row)).center();
}

void clickRow(LogView* log, int row, Qt::KeyboardModifiers modifiers = {})
{
    QTest::mouseClick(log->viewport(), Qt::LeftButton, modifiers, rowCentre(log, row));
}

// A right click at `at` (in the viewport): the press selects the row under
// it, then the context menu opens there; returns the menu shown.
QMenu* rightClick(LogView* log, QPoint at)
{
    QTest::mousePress(log->viewport(), Qt::RightButton, {}, at);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, log->viewport()->mapToGlobal(at));
    QApplication::sendEvent(log->viewport(), &event);
    QTest::mouseRelease(log->viewport(), Qt::RightButton, {}, at);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

QStringList captions(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

QAction* action(const QMenu* menu, const QString& text)
{
    for (QAction* a : menu->actions()) {
        if (a->text() == text)
            return a;
    }
    ADD_FAILURE() << "no menu item " << text.toStdString();
    return nullptr;
}

// Chooses the menu item with a click, as the operator does.
void choose(QMenu* menu, const QString& text)
{
    QAction* item = action(menu, text);
    if (item)
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
}

QString clipboard()
{
    return QGuiApplication::clipboard()->text();
}

QStringList lines(const char* prefix, int from, int to)
{
    QStringList list;
    for (int i = from; i <= to; ++i)
        list << QStringLiteral("%1 %2").arg(QLatin1String(prefix)).arg(i);
    return list;
}

} // namespace

TEST(UiLogMenu, CopyTakesTheSelectedLinesTopToBottom)
{
    Ui ui;
    LogView* log = logView(ui, "List2");
    for (const QString& line : lines("line", 0, 4))
        ui.e.form.PostMsg2(line);
    QCoreApplication::processEvents();

    QMenu* menu = rightClick(log, rowCentre(log, 3));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(captions(menu), (QStringList{"Copy", "Select All", "-", "Save As..."}));
    for (const char* text : {"Copy", "Select All", "Save As..."})
        EXPECT_TRUE(action(menu, QString::fromLatin1(text))->isEnabled()) << text;
    choose(menu, QStringLiteral("Copy"));
    EXPECT_FALSE(menu->isVisible());
    EXPECT_EQ(clipboard(), "line 3");

    // A range with Shift, one more with Ctrl: copied in the log's order, by Ctrl+C too.
    clickRow(log, 1);
    clickRow(log, 3, Qt::ShiftModifier);
    clickRow(log, 0, Qt::ControlModifier);
    QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboard(), lines("line", 0, 3).join('\n'));

    menu = rightClick(log, rowCentre(log, 2));
    ASSERT_NE(menu, nullptr);
    choose(menu, QStringLiteral("Select All"));
    EXPECT_EQ(log->selectedItems().size(), 5);
    menu = rightClick(log, rowCentre(log, 2));
    ASSERT_NE(menu, nullptr);
    choose(menu, QStringLiteral("Copy"));
    EXPECT_EQ(clipboard(), lines("line", 0, 4).join('\n'));

    // Ctrl+A selects everything, lines not yet painted included.
    clickRow(log, 0);
    for (const QString& line : lines("more", 0, 2))
        ui.e.form.PostMsg2(line);
    QTest::keyClick(log, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboard(), (lines("line", 0, 4) + lines("more", 0, 2)).join('\n'));
}

TEST(UiLogMenu, APostStillLeavesTheNewestCurrentAndNothingSelected)
{
    Ui ui;
    LogView* log = logView(ui, "List1");
    // An empty log offers nothing to copy, select or save.
    QMenu* menu = rightClick(log, log->viewport()->rect().center());
    ASSERT_NE(menu, nullptr);
    for (const char* text : {"Copy", "Select All", "Save As..."})
        EXPECT_FALSE(action(menu, QString::fromLatin1(text))->isEnabled()) << text;
    menu->close();

    for (const QString& line : lines("line", 0, 1099))
        ui.e.form.PostMsg1(line);
    QCoreApplication::processEvents();
    log->selectAll();
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    ui.e.form.PostMsg1(QStringLiteral("newest"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(log->selectedItems().isEmpty());
    ASSERT_EQ(log->count(), 1000);
    EXPECT_EQ(log->currentRow(), 999);
    EXPECT_EQ(log->currentItem()->text(), "newest");
    EXPECT_EQ(log->item(0)->text(), "line 101");

    // Nothing selected: Copy is off, and Ctrl+C leaves the clipboard as it was.
    menu = log->contextMenu();
    EXPECT_FALSE(action(menu, QStringLiteral("Copy"))->isEnabled());
    EXPECT_TRUE(action(menu, QStringLiteral("Select All"))->isEnabled());
    EXPECT_TRUE(action(menu, QStringLiteral("Save As..."))->isEnabled());
    QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboard(), "before");
}

TEST(UiLogMenu, SaveAsWritesTheWholeLogWhereAsked)
{
    Ui ui;
    const QString previous = QDir::currentPath();
    const QDir folder(ui.e.dir.path());
    QDir::setCurrent(folder.path());
    LogView* log = logView(ui, "List1");
    for (const QString& line : lines("line", 0, 1199))
        ui.e.form.PostMsg1(line);
    QCoreApplication::processEvents();
    ui.e.form.PostMsg1(QStringLiteral("posted last"));  // not painted yet

    QString typed = QStringLiteral("run-log");
    QString offered;
    ModalAnswer<QFileDialog> answer([&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(dialog.directory().absolutePath(), folder.absolutePath());
        EXPECT_EQ(dialog.defaultSuffix(), "txt");
        auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        offered = name->text();
        if (typed.isEmpty()) {
            dialog.reject();
            return;
        }
        name->setText(typed);
        QTest::keyClick(name, Qt::Key_Return);
    });
    QMenu* menu = rightClick(log, rowCentre(log, 5));
    ASSERT_NE(menu, nullptr);
    choose(menu, QStringLiteral("Save As..."));
    EXPECT_EQ(answer.count, 1);
    EXPECT_EQ(offered, "Status1.txt");
    const QString saved = folder.filePath(QStringLiteral("run-log.txt"));
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()), (lines("line", 201, 1199) << "posted last").join('\n') + '\n');
    file.close();
    EXPECT_EQ(lastOf(ui.e.debug()), QStringLiteral("Hint: Status1 log saved to %1 (1000 lines).").arg(saved));

    // Cancelled: nothing written, nothing said.
    typed.clear();
    const QStringList debugBefore = ui.e.debug();
    log->contextMenu();
    log->findChild<QAction*>(QStringLiteral("SaveAs"))->trigger();
    EXPECT_EQ(answer.count, 2);
    EXPECT_EQ(ui.e.debug(), debugBefore);
    EXPECT_EQ(folder.entryList(QDir::Files), (QStringList{"run-log.txt"}));

    // The Debug log is saved the same way; a place that cannot take the file is said so.
    ui.e.writeFile(QStringLiteral("not-a-folder"), "x");
    typed = folder.filePath(QStringLiteral("not-a-folder/kept.txt"));
    menu = rightClick(logView(ui, "List2"), rowCentre(logView(ui, "List2"), 0));
    ASSERT_NE(menu, nullptr);
    choose(menu, QStringLiteral("Save As..."));
    EXPECT_EQ(offered, "Status2.txt");
    EXPECT_TRUE(lastOf(ui.e.debug()).startsWith(QStringLiteral("Hint: Status2 log not saved to %1: ").arg(typed)))
        << lastOf(ui.e.debug()).toStdString();
    EXPECT_FALSE(QFile::exists(typed));
    QDir::setCurrent(previous);
}
