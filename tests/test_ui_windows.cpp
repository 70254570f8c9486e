// The windows as views of the model, clicked through: start-up, keyboard
// order, the file-open dialog, the COM port dialog, the About dialog, and
// closing the main window through the window system.

#include "engine_harness.h"
#include "process_harness.h"
#include "qt_print.h"
#include "ui_harness.h"

#include "ui/about_dialog.h"
#include "ui/file_dialog.h"
#include "ui/main_window.h"
#include "ui/port_dialog.h"

#include "ports/port_map.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QStyle>
#include <QTreeView>
#include <QHeaderView>

#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace flash3;
using namespace flash3::testing;
using flash3::ui::AboutDialog;
using flash3::ui::MainWindow;

namespace {

// Sets an environment variable (empty: unsets it) for the life of the object.
class Environment {
public:
    Environment(const char* name, const QString& value) : name_(name), previous_(qgetenv(name))
    {
        value.isEmpty() ? qunsetenv(name) : qputenv(name, QFile::encodeName(value));
    }
    ~Environment() { previous_.isEmpty() ? qunsetenv(name_) : qputenv(name_, previous_); }

private:
    const char* name_;
    QByteArray previous_;
};

} // namespace

TEST(UiStartUp, WindowsShowTheStartingState)
{
    Ui ui;
    EXPECT_EQ(ui.window.objectName(), "Form1");
    EXPECT_EQ(ui.window.windowTitle(), "KORVEN-7 voDOZUD Application - FLASH3");
    ASSERT_EQ(ui.ports()->count(), 100);
    for (int n = 0; n < 100; ++n)
        EXPECT_EQ(ui.ports()->item(n)->text(), QString::number(n));
    ASSERT_EQ(ui.ports()->selectedItems().size(), 1);
    EXPECT_EQ(ui.ports()->selectedItems().at(0)->text(), "2");
    const char* speeds[] = {"", "9.6 k", "19.2 k", "38.4 k", "57.6 k", "115.2 k"};
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(ui.speed(i)->text(), speeds[i]);
        EXPECT_EQ(ui.speed(i)->isChecked(), i == 4) << i;
        EXPECT_TRUE(ui.speed(i)->isEnabled());
    }
    EXPECT_FALSE(ui.window.portDialog()->isVisible());
    EXPECT_EQ(ui.child<QListWidget>(QStringLiteral("List1"))->count(), 0);
    EXPECT_EQ(ui.child<QListWidget>(QStringLiteral("List2"))->count(), 0);
    EXPECT_EQ(ui.text(1), "No File Selected.");
    for (int n = 2; n <= 5; ++n)
        EXPECT_TRUE(ui.text(n).isEmpty()) << n;
    EXPECT_FALSE(ui.e.window().timer2().enabled);
    EXPECT_EQ(ui.e.window().timer2().interval, 5);

    const QList<QAction*> menus = ui.window.menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus.at(0)->text(), "Help");
    ASSERT_EQ(menus.at(0)->menu()->actions().size(), 1);
    EXPECT_EQ(menus.at(0)->menu()->actions().at(0)->text(), "About");
}

namespace {

struct Text1Case {
    const char* name;
    QStringList arguments;
    const char* text1;
};

class WindowCommandLine : public ::testing::TestWithParam<Text1Case> {};

// Each case is reported by its name.
void PrintTo(const Text1Case& c, std::ostream* os)
{
    *os << c.name;
}

} // namespace

// The derivation itself is the engine's; here: what the window shows.
TEST_P(WindowCommandLine, ReachesText1)
{
    EXPECT_EQ(Ui(GetParam().arguments).text(1), QString::fromLatin1(GetParam().text1));
}

INSTANTIATE_TEST_SUITE_P(
    UiStartUp, WindowCommandLine,
    ::testing::Values(Text1Case{"Nothing", {}, "No File Selected."},
                      Text1Case{"NoDot", {"unit"}, "No File Selected."},
                      Text1Case{"WindowsPath", {"C:\\rev.b\\unit.pf3"}, "C:\\rev.b\\unit.PF3"},
                      Text1Case{"TwoWords", {"my", "image.pf3"}, "my image.PF3"},
                      // What Qt would take as its option is part of the name like any other text.
                      Text1Case{"QtOption", {"-reverse", "sample.pf3"}, "-reverse sample.PF3"}));

// The whole command line is the image's: the program gives Qt none of it, so
// a Qt option there is no option. Seen with -platform: taken by Qt it would
// win over QT_QPA_PLATFORM; left alone, Qt looks for the environment's
// platform, which does not exist, and ends the program at once.
TEST(UiStartUp, QtTakesNoOptionFromTheCommandLine)
{
    QProcess flash3;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
    flash3.setProcessEnvironment(environment);
    // Qt ends it through abort(): no core file.
    flash3.setChildProcessModifier([] {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
    });
    flash3.start(buildDir() + QStringLiteral("/flash3"), {"-platform", "offscreen", "sample.pf3"});
    ASSERT_TRUE(flash3.waitForStarted(10000));
    const bool ended = flash3.waitForFinished(30000);
    if (!ended) {
        flash3.kill();
        flash3.waitForFinished();
    }
    EXPECT_TRUE(ended) << "flash3 handed \"-platform offscreen\" to Qt and ran";
    EXPECT_TRUE(flash3.readAllStandardError().contains("no-such-platform"));
}

// Without a window system a person reads one line and gets status 1, not
// Qt's abort; --help and --version alone need none.
TEST(UiStartUp, NoDisplayIsOneLineAndHelpNeedsNone)
{
    const auto run = [](const QStringList& arguments, const QString& platform) {
        QProcess flash3;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        if (platform.isEmpty())
            environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        else
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        flash3.setProcessEnvironment(environment);
        flash3.start(buildDir() + QStringLiteral("/flash3"), arguments);
        EXPECT_TRUE(flash3.waitForFinished(30000));
        return std::make_tuple(flash3.exitStatus() == QProcess::NormalExit ? flash3.exitCode() : -1,
                               QString::fromLocal8Bit(flash3.readAllStandardOutput()),
                               QString::fromLocal8Bit(flash3.readAllStandardError()));
    };
    for (const QString& platform : {QString(), QStringLiteral("no-such-platform")}) {
        const auto [status, out, err] = run({"unit.pf3"}, platform);
        EXPECT_EQ(status, 1) << platform;
        EXPECT_EQ(err.count('\n'), 1) << err;
        EXPECT_TRUE(err.startsWith("flash3: cannot open a window: ")) << err;
    }
    const auto [helpStatus, help, helpErr] = run({"--help"}, QString());
    EXPECT_EQ(helpStatus, 0) << helpErr;
    EXPECT_TRUE(help.startsWith("Usage: flash3 [IMAGE]")) << help;
    const auto [versionStatus, version, versionErr] = run({"--version"}, QString());
    EXPECT_EQ(versionStatus, 0);
    EXPECT_EQ(version, QStringLiteral("flash3 " FLASH3_VERSION "\n"));
}

TEST(UiStartUp, FocusTabOrderAndNoDefaultButton)
{
    Ui ui;
    ui.window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&ui.window));
    EXPECT_EQ(Ui::tabCycle(13), (QStringList{"SelectInputFile", "ProgramFlash", "AbortProgram", "ConfigComPort",
                                             "Text1", "Text2", "List1", "List2", "ClearStatus", "ClearDebug",
                                             "Text5", "Text4", "Text3", "SelectInputFile"}));
    // Enter on a button that does not have the focus presses nothing.
    QTest::keyClick(ui.child<QLineEdit>(QStringLiteral("Text2")), Qt::Key_Return);
    EXPECT_TRUE(ui.e.status1().isEmpty());
    EXPECT_TRUE(ui.e.debug().isEmpty());
    EXPECT_FALSE(ui.window.portDialog()->isVisible());
}

TEST(UiFileDialog, CancelDropsTheChoiceButKeepsTheCounts)
{
    Ui ui;
    const QString path = ui.e.writeFile(QStringLiteral("forty.pf3"), QByteArray(40, 'x'));
    std::vector<std::optional<QString>> answers{path, std::nullopt};
    std::size_t next = 0;
    ui.e.form.showOpenDialog = [&](const FileDialogSettings&) { return answers.at(next++); };

    ui.click("SelectInputFile");
    EXPECT_EQ(ui.text(1), path);
    EXPECT_EQ(ui.text(3), "10");
    EXPECT_EQ(ui.text(5), "0.0 %");
    // What the operator types into the name box is never used.
    QTest::keyClicks(ui.child<QLineEdit>(QStringLiteral("Text1")), QStringLiteral("typed"));
    ui.click("SelectInputFile");
    EXPECT_EQ(ui.text(1), "");
    EXPECT_EQ(lastOf(ui.e.debug()), "Input file selection cancelled.");
    EXPECT_EQ(ui.text(3), "10");
    ui.click("ProgramFlash");
    EXPECT_EQ(lastOf(ui.e.debug()), "** ERROR ** Select an input file.");
}

TEST(UiFileDialog, TypedNameGetsTheDefaultSuffix)
{
    Ui ui;
    const QString path = ui.e.writeFile(QStringLiteral("image.pf3"), QByteArray(40, 'x'));
    const QString previous = QDir::currentPath();
    QDir::setCurrent(ui.e.dir.path());
    QString initialName;
    ModalAnswer<QFileDialog> answer([&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.nameFilters(), QStringList{"PF3 Files (*.pf3)"});
        EXPECT_EQ(dialog.defaultSuffix(), "pf3");
        EXPECT_EQ(dialog.directory().absolutePath(), QDir(ui.e.dir.path()).absolutePath());
        EXPECT_EQ(dialog.fileMode(), QFileDialog::AnyFile);  // the file need not exist
        EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
        EXPECT_EQ(dialog.parentWidget(), &ui.window);
        auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        initialName = name->text();
        name->setText(QStringLiteral("image"));
        QTest::keyClick(name, Qt::Key_Return);
    });
    ui.click("SelectInputFile");
    QDir::setCurrent(previous);
    EXPECT_EQ(answer.count, 1);
    EXPECT_EQ(initialName, "*.pf3");
    EXPECT_EQ(QFileInfo(ui.text(1)).canonicalFilePath(), QFileInfo(path).canonicalFilePath());
    EXPECT_EQ(ui.text(3), "10");
}

// The detail view shows each file's size, type and date whole, not cut
// short to "21....KiB" or "8 Dec ...:11:26".
TEST(UiFileDialog, SizesTypesAndDatesShowWhole)
{
    Ui ui;
    ui.e.writeFile(QStringLiteral("large.pf3"), QByteArray(21 * 1024 + 300, 'x'));
    ui.e.writeFile(QStringLiteral("notes.txt"), QByteArray(10, 'x'));
    ui.e.form.showOpenDialog = [&](const FileDialogSettings& settings) {
        QFileDialog dialog(&ui.window);
        FileDialogSettings all = settings;
        all.folder = ui.e.dir.path();
        all.filter = QStringLiteral("All (*)");
        ui::configureOpenDialog(dialog, all);
        dialog.show();
        auto* tree = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
        EXPECT_NE(tree, nullptr);
        if (tree == nullptr)
            return std::optional<QString>();
        EXPECT_TRUE(QTest::qWaitFor([tree] { return tree->model()->rowCount(tree->rootIndex()) >= 2; }, 10000));
        // The item view leaves a margin on either side of an item's text.
        const int margin = 2 * (tree->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1);
        const int rows = tree->model()->rowCount(tree->rootIndex());
        // The details and the widths they need come after the rows: wait for
        // them to fit (what is checked below says which did not).
        static_cast<void>(QTest::qWaitFor(
            [&] {
                for (int column = 1; column <= 3; ++column) {
                    if (tree->header()->sectionSizeHint(column) > tree->columnWidth(column))
                        return false;
                    for (int row = 0; row < rows; ++row) {
                        const QString text = tree->model()->index(row, column, tree->rootIndex()).data().toString();
                        if (text.isEmpty() || tree->fontMetrics().horizontalAdvance(text) + margin > tree->columnWidth(column))
                            return false;
                    }
                }
                return true;
            },
            5000));
        for (int column = 1; column <= 3; ++column) {
            SCOPED_TRACE(column);
            EXPECT_LE(tree->header()->sectionSizeHint(column), tree->columnWidth(column));
            for (int row = 0; row < rows; ++row) {
                const QString text = tree->model()->index(row, column, tree->rootIndex()).data().toString();
                EXPECT_LE(tree->fontMetrics().horizontalAdvance(text) + margin, tree->columnWidth(column)) << text;
            }
        }
        // The columns fit in the view beside the side bar.
        int columns = 0;
        for (int column = 0; column < tree->header()->count(); ++column)
            columns += tree->columnWidth(column);
        EXPECT_LE(columns, tree->viewport()->width());
        return std::optional<QString>();
    };
    ui.click("SelectInputFile");
}

TEST(UiFileDialog, FileOfNoRecordsKeepsThePercentage)
{
    Ui ui;
    const QString path = ui.e.writeFile(QStringLiteral("two.pf3"), "T4");
    ui.e.form.showOpenDialog = [&](const FileDialogSettings&) { return std::optional<QString>(path); };
    ui.click("SelectInputFile");
    EXPECT_EQ(ui.text(1), path);
    EXPECT_EQ(ui.text(3), "0");
    EXPECT_EQ(ui.text(4), "0");
    EXPECT_EQ(ui.text(5), "");
    EXPECT_EQ(lastOf(ui.e.debug()), "Input file selection cancelled.");
}

// Qt's file dialogs keep their folder, history and view in the user's
// settings and read them back; this program keeps no settings and writes
// nothing unasked. Qt fixes where its settings are at their first use in a
// process, so the dialogs are opened and cancelled in a child process (this
// test again) whose HOME and XDG_CONFIG_HOME are folders of this one: first
// empty, then holding the settings another Qt program left there.
TEST(UiFileDialog, OpeningAndCancellingReadsAndWritesNothing)
{
    const char* childMark = "FLASH3_TEST_DIALOG_CHILD";
    if (qEnvironmentVariableIsSet(childMark)) {
        Ui ui;
        QStringList shown;
        ModalAnswer<QFileDialog> cancel([&shown](QFileDialog& dialog) {
            // Qt's own default, not the list view that the settings left behind.
            EXPECT_EQ(dialog.viewMode(), QFileDialog::Detail);
            shown << dialog.windowTitle();
            dialog.reject();
        });
        ui.click("SelectInputFile");
        ui.e.form.PostMsg1(QStringLiteral("a line to save"));
        QListWidget* status1 = ui.child<QListWidget>(QStringLiteral("List1"));
        status1->findChild<QAction*>(QStringLiteral("SaveAs"))->trigger();
        EXPECT_EQ(cancel.count, 2) << shown.join(" | ").toStdString();
        EXPECT_EQ(lastOf(ui.e.debug()), "Input file selection cancelled.");
        return;
    }

    const QTemporaryDir home;
    const QTemporaryDir config;
    ASSERT_TRUE(home.isValid() && config.isValid());
    // Every file under `folder` with its content.
    auto contents = [](const QString& folder) {
        QMap<QString, QByteArray> files;
        QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            files.insert(it.filePath(), file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(a folder)"));
        }
        return files;
    };
    auto runChild = [&] {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(childMark), QStringLiteral("1"));
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
        EXPECT_TRUE(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
    };

    runChild();
    EXPECT_EQ(contents(home.path()), (QMap<QString, QByteArray>{}));
    EXPECT_EQ(contents(config.path()), (QMap<QString, QByteArray>{}));

    QFile left(config.filePath(QStringLiteral("QtProject.conf")));
    ASSERT_TRUE(left.open(QIODevice::WriteOnly));
    left.write("[FileDialog]\nviewMode=List\nhistory=file:///nowhere\n");
    left.close();
    const QMap<QString, QByteArray> before = contents(config.path());
    runChild();
    EXPECT_EQ(contents(home.path()), (QMap<QString, QByteArray>{}));
    EXPECT_EQ(contents(config.path()), before);
}

TEST(UiPortDialog, EscapeAndTheFrameCloseAreCancel)
{
    Ui ui;
    ui::PortDialog* dialog = ui.window.portDialog();
    EXPECT_EQ(dialog->objectName(), "Form2");
    EXPECT_EQ(dialog->windowTitle(), "         COM Port Parameters");
    EXPECT_FALSE(dialog->isModal());
    ui.click("ConfigComPort");
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->focusWidget()->objectName(), "Initialize");
    QTest::keyClick(dialog->focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    ui.click("ConfigComPort");
    EXPECT_TRUE(dialog->close());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(ui.e.debug(), (QStringList{"Comms selection cancelled.", "Comms selection cancelled."}));
}

TEST(UiPortDialog, ChoicesPersistAndInitializeAppliesThem)
{
    Ui ui;
    ui.click("ConfigComPort");
    ui.clickPort(7);
    QTest::mouseClick(ui.speed(5), Qt::LeftButton);
    EXPECT_EQ(ui.e.form.ComSpeed, 5);
    ui.click("Cancel1");
    EXPECT_FALSE(ui.window.portDialog()->isVisible());
    EXPECT_EQ(ui.e.backend.openPorts(), 0);

    ui.click("ConfigComPort");
    EXPECT_EQ(ui.ports()->selectedItems().value(0)->text(), "7");
    EXPECT_TRUE(ui.speed(5)->isChecked());
    ui.click("Initialize");
    EXPECT_FALSE(ui.window.portDialog()->isVisible());
    EXPECT_EQ(ui.text(2), "COM7: at 115.2 kbaud");
    EXPECT_EQ(ui.e.backend.baudRate, 115200);

    // Reconfiguring closes the port and shows the same choices again.
    ui.click("ConfigComPort");
    EXPECT_EQ(lastOf(ui.e.debug()), "Closed COM port: 7");
    EXPECT_EQ(ui.text(2), "");
    EXPECT_EQ(ui.ports()->selectedItems().value(0)->text(), "7");

    ui.clickPort(0);
    ui.click("Initialize");
    EXPECT_EQ(lastOf(ui.e.debug()), "COM Port selection is invalid.");
    EXPECT_FALSE(ui.window.portDialog()->isVisible());
    EXPECT_EQ(ui.e.backend.openPorts(), 0);
}

// Ctrl+click (or Ctrl+Space) on the selected port takes its highlight away;
// "Initialize" then finds no selection, as the list shows.
TEST(UiPortDialog, DeselectedListOpensNoPort)
{
    Ui ui;
    ui.click("ConfigComPort");
    ui.clickPort(7);
    ui.clickPort(7, Qt::ControlModifier);
    EXPECT_TRUE(ui.ports()->selectedItems().isEmpty());
    EXPECT_EQ(ui.e.window().portDialog().portListIndex, -1);
    ui.click("Initialize");
    EXPECT_EQ(lastOf(ui.e.debug()), "COM Port selection is invalid.");
    EXPECT_EQ(ui.e.form.ComPort, -1);
    EXPECT_EQ(ui.e.backend.openPorts(), 0);
    EXPECT_EQ(ui.text(2), "");

    // Shown again as it was left; a click selects again and opens that port.
    ui.click("ConfigComPort");
    EXPECT_TRUE(ui.ports()->selectedItems().isEmpty());
    ui.clickPort(7);
    ASSERT_EQ(ui.ports()->selectedItems().size(), 1);
    ui.click("Initialize");
    EXPECT_EQ(ui.text(2), "COM7: at 57.6 kbaud");
    EXPECT_EQ(ui.e.backend.openPorts(), 1);

    ui.click("ConfigComPort");
    ASSERT_EQ(ui.ports()->currentRow(), 7);
    QTest::keyClick(ui.ports(), Qt::Key_Space, Qt::ControlModifier);
    EXPECT_TRUE(ui.ports()->selectedItems().isEmpty());
    ui.click("Initialize");
    EXPECT_EQ(lastOf(ui.e.debug()), "COM Port selection is invalid.");
    EXPECT_EQ(ui.e.backend.openPorts(), 0);
}

TEST(UiPortDialog, TabStopsAtTheSelectedSpeedInLayoutOrder)
{
    Ui ui;
    ui.click("ConfigComPort");
    ui.window.portDialog()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(ui.window.portDialog()));
    EXPECT_EQ(Ui::tabCycle(4), (QStringList{"Initialize", "ComBaudBtn(4)", "Cancel1", "ComPortList", "Initialize"}));
    // 9.6 k comes after "Cancel" in the tab order.
    QTest::mouseClick(ui.speed(1), Qt::LeftButton);
    ui.child<QWidget>(QStringLiteral("Initialize"))->setFocus();
    EXPECT_EQ(Ui::tabCycle(4), (QStringList{"Initialize", "Cancel1", "ComBaudBtn(1)", "ComPortList", "Initialize"}));
}

TEST(UiAbout, OneAtATimeWithTitleVersionAndNotice)
{
    Ui ui;
    AboutDialog* about = ui.openAbout();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(ui.openAbout(), about);
    int shown = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        shown += qobject_cast<AboutDialog*>(w) && w->isVisible();
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(about->windowTitle(), "About KORVEN-7_vuZEZOZ3");
    EXPECT_EQ(about->parentWidget(), nullptr);
    EXPECT_FALSE(about->isModal());
    auto label = [about](const char* name) { return about->findChild<QLabel*>(QString::fromLatin1(name))->text(); };
    EXPECT_EQ(label("lblTitle"), "KORVEN-7_vuZEZOZ3");
    EXPECT_EQ(label("lblVersion"), "Version 1.3.0");
    EXPECT_EQ(label("lblDescription"),
              "Used to voDOZUD the operational firmware of an KORVEN-7 interface device using FLASH3 mode.");
    // The opening words, then company, telephone, mail and web, each after a run of blanks.
    EXPECT_TRUE(label("lblDisclaimer").startsWith("This application was developed by:  "));
    EXPECT_EQ(label("lblDisclaimer").split(QStringLiteral("  "), Qt::SkipEmptyParts).size(), 5);
    EXPECT_EQ(about->focusWidget()->objectName(), "cmdOK");

    // The main window goes on working meanwhile.
    ui.click("ClearStatus");
    ui.e.form.PostMsg1(QStringLiteral("still running"));
    EXPECT_EQ(ui.e.status1(), QStringList{"still running"});
}

TEST(UiAbout, EnterAndEscapeCloseAndDiscardIt)
{
    Ui ui;
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        QPointer<AboutDialog> about = ui.openAbout();
        QTest::keyClick(about->focusWidget(), key);
        EXPECT_TRUE(QTest::qWaitFor([&about] { return about.isNull(); }, 5000)) << key;
        EXPECT_EQ(ui.window.aboutDialog(), nullptr);
    }
}

TEST(UiAbout, SystemInfoStartsTheNamedViewerElseTheFirstOnThePath)
{
    Ui ui;
    const QString folder = ui.e.dir.path();
    // Each viewer leaves a mark; shell built-ins only, PATH points here.
    auto viewer = [&folder](const char* name, bool executable = true) {
        QFile file(folder + '/' + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("#!/bin/sh\necho > '%1.ran'\n").arg(file.fileName()).toUtf8());
        file.setPermissions(executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                       : QFile::ReadOwner | QFile::WriteOwner);
        return file.fileName();
    };
    auto ran = [&folder](const char* name) {
        const QString mark = folder + '/' + name + ".ran";
        return QTest::qWaitFor([&mark] { return QFile::exists(mark); }, 5000);  // the viewer runs detached
    };
    viewer("hardinfo", false);
    viewer("kinfocenter");
    viewer("gnome-system-monitor");
    Environment path("PATH", folder);
    AboutDialog* about = ui.openAbout();
    ModalAnswer<QMessageBox> none([](QMessageBox& box) { box.accept(); });
    {
        Environment named("FLASH3_SYSINFO", viewer("my-viewer"));
        about->StartSysInfo();
        EXPECT_TRUE(ran("my-viewer"));
        EXPECT_FALSE(QFile::exists(folder + "/kinfocenter.ran"));
    }
    {
        Environment named("FLASH3_SYSINFO", QString());
        about->StartSysInfo();
        EXPECT_TRUE(ran("kinfocenter"));
    }
    EXPECT_FALSE(QFile::exists(folder + "/hardinfo.ran"));
    EXPECT_FALSE(QFile::exists(folder + "/gnome-system-monitor.ran"));
    EXPECT_EQ(none.count, 0);
}

TEST(UiAbout, EveryFailureEndsInTheOneMessageBox)
{
    Ui ui;
    AboutDialog* about = ui.openAbout();
    QStringList seen;
    ModalAnswer<QMessageBox> answer([&seen](QMessageBox& box) {
        seen << box.windowTitle() + " | " + box.text();
        EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
        EXPECT_EQ(box.buttons().size(), 1);
        QTest::mouseClick(box.button(QMessageBox::Ok), Qt::LeftButton);
    });
    const QString unavailable = "KORVEN-7_vuZEZOZ3 | System Information Is Unavailable At This Time";
    Environment path("PATH", ui.e.dir.path());
    {
        // Named but not there: started without looking first, and that fails.
        Environment named("FLASH3_SYSINFO", ui.e.dir.filePath(QStringLiteral("no-such-viewer")));
        QTest::mouseClick(about->findChild<QPushButton*>(QStringLiteral("cmdSysInfo")), Qt::LeftButton);
    }
    {
        Environment named("FLASH3_SYSINFO", QString());
        QTest::mouseClick(about->findChild<QPushButton*>(QStringLiteral("cmdSysInfo")), Qt::LeftButton);
    }
    EXPECT_EQ(seen, (QStringList{unavailable, unavailable}));
    EXPECT_TRUE(ui.e.status1().isEmpty());
    EXPECT_TRUE(ui.e.debug().isEmpty());
}

TEST(UiClose, ClosingTheWindowIsExitAbortWithItsRefusals)
{
    Ui ui;
    QSignalSpy finished(&ui.window, &MainWindow::programFinished);
    ui.e.openPort();
    ui.e.form.IsrActive = True;
    EXPECT_FALSE(ui.window.close());
    EXPECT_TRUE(ui.window.isVisible());
    EXPECT_EQ(lastOf(ui.e.status1()), "ISR active.  Try to exit again.");
    EXPECT_FALSE(ui.e.window().timer2().enabled);
    ui.e.form.IsrActive = False;
    ui.e.form.PortBusy = True;
    EXPECT_FALSE(ui.window.close());
    EXPECT_EQ(lastOf(ui.e.status1()), "COM port in-use.  Try to exit again.");
    EXPECT_EQ(finished.count(), 0);

    ui.e.form.PortBusy = False;
    EXPECT_TRUE(ui.window.close());
    EXPECT_FALSE(ui.window.isVisible());
    EXPECT_EQ(ui.e.status1().mid(ui.e.status1().size() - 2), (QStringList{"Closed COM port: 2", "Program terminated."}));
    EXPECT_EQ(finished.count(), 1);
}

TEST(UiClose, ExitAbortClosesEveryWindow)
{
    Ui ui;
    QSignalSpy finished(&ui.window, &MainWindow::programFinished);
    ui.click("ConfigComPort");
    QPointer<AboutDialog> about = ui.openAbout();
    ui.click("AbortProgram");
    EXPECT_EQ(finished.count(), 1);
    EXPECT_FALSE(ui.window.isVisible());
    EXPECT_FALSE(ui.window.portDialog()->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&about] { return about.isNull(); }, 5000));
    // Closing the dialogs ran no routine of the ended program.
    EXPECT_EQ(ui.e.status1(), QStringList{"Program terminated."});
    EXPECT_TRUE(ui.e.debug().isEmpty());
}

// The line under the port list says what the highlighted number stands for:
// a device that is there, one that is not, a number bound to nothing; for a
// number with no device it names the ports present. The entries that reach a
// device are bold with the device as tooltip, their text still the number.
TEST(UiPortDialog, LineSaysWhatTheHighlightedNumberStandsFor)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("dev"));
    const ScopedPortMapPaths paths(dir);
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_TRUE(QFile::link(QString::fromLatin1(name), dir.filePath("dev/ttyUSB0")));

    Ui ui;
    ui.click("ConfigComPort");
    auto* info = ui.child<QLabel>(QStringLiteral("PortInfo"));
    ASSERT_NE(info, nullptr);
    const QString present = "Present: COM 33 " + dir.filePath("dev/ttyUSB0");
    EXPECT_EQ(info->text(), dir.filePath("dev/ttyS1") + " - not present\n" + present);  // "2" is highlighted at start-up
    ui.clickPort(33);
    EXPECT_EQ(info->text(), dir.filePath("dev/ttyUSB0") + " - present");
    ui.clickPort(98);
    EXPECT_EQ(info->text(), "COM 98 stands for no device: bind one in ports.conf\n" + present);
    EXPECT_TRUE(info->isVisible());
    QListWidget* list = ui.ports();
    for (int row : {2, 33, 34}) {
        SCOPED_TRACE(row);
        const bool marked = row == 33;
        EXPECT_EQ(list->item(row)->text(), QString::number(row));
        EXPECT_EQ(list->item(row)->font().bold(), marked);
        EXPECT_EQ(list->item(row)->toolTip(), marked ? "COM 33: " + dir.filePath("dev/ttyUSB0") : QString());
    }
    // A device plugged in while the dialog is closed is marked when it opens again.
    ui.click("Cancel1");
    QFile plugged(dir.filePath("dev/ttyUSB1"));
    ASSERT_TRUE(plugged.open(QIODevice::WriteOnly));
    ui.click("ConfigComPort");
    EXPECT_TRUE(list->item(34)->font().bold());
    EXPECT_EQ(info->text(), "COM 98 stands for no device: bind one in ports.conf\n" + present + ", COM 34 "
                                + dir.filePath("dev/ttyUSB1"));
    // What the line said is what "Initialize" opens.
    ui.clickPort(33);
    ui.click("Initialize");
    EXPECT_TRUE(ui.e.form.PortOpen);
    EXPECT_EQ(ui.e.form.ComPort, 33);
    ::close(slave);
    ::close(master);
}
