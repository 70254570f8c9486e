// The desktop program's file dialogs on Windows, tried under Wine on the
// offscreen platform: a chosen path comes back as Windows writes it, with its
// drive and backslashes, for the file box, the logs and the hints.

#include "ui/file_dialog.h"

#include "qt_print.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace flash3;

namespace {

// Chooses `name` in `folder` in the next dialog that opens, as a user would.
void chooseInNextDialog(const QString& folder, const QString& name)
{
    QTimer::singleShot(0, [folder, name] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr) << "no file dialog opened";
        dialog->setDirectory(folder);
        dialog->selectFile(name);
        static_cast<QDialog*>(dialog)->accept();  // as the dialog's Open or Save button does
    });
}

struct WindowsDialogs : ::testing::Test {
    int argc = 1;
    char name[8] = "dialogs";
    char* argv[2] = {name, nullptr};
    QApplication app{argc, argv};
    QTemporaryDir dir;
    const QRegularExpression windowsPath{QStringLiteral("^[A-Za-z]:\\\\[^/]*\\\\unit\\.(pf3|txt)$")};
};

} // namespace

TEST_F(WindowsDialogs, OpenAndSaveGiveTheDriveAndBackslashes)
{
    chooseInNextDialog(dir.path(), QStringLiteral("unit.pf3"));
    const std::optional<QString> opened = ui::runOpenDialog(nullptr, FileDialogSettings());
    ASSERT_TRUE(opened.has_value());
    EXPECT_TRUE(windowsPath.match(*opened).hasMatch()) << *opened;

    chooseInNextDialog(dir.path(), QStringLiteral("unit.txt"));
    const std::optional<QString> saved = ui::runSaveTextDialog(nullptr, QStringLiteral("Status1.txt"));
    ASSERT_TRUE(saved.has_value());
    EXPECT_TRUE(windowsPath.match(*saved).hasMatch()) << *saved;
}
