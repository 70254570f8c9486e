#include "ui/file_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QSettings>

namespace flash3::ui {

void keepNoSettings()
{
#ifdef Q_OS_UNIX
    // Settings files are looked for under a path that is no folder and can
    // never become one: reading finds nothing, and a write fails before it
    // touches the disk. (Settings kept in a registry, as on Windows, are not
    // files, and Qt offers no such switch for them.)
    const QString nowhere = QStringLiteral("/dev/null");
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        for (QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope})
            QSettings::setPath(format, scope, nowhere);
    }
#endif
}

void configureOpenDialog(QFileDialog& dialog, const FileDialogSettings& settings)
{
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A chosen file need not exist; opening it is what fails, later, with a log line.
    dialog.setFileMode(settings.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // Qt's dialog has no "open read-only" box, which is what hideReadOnly asks for.
    // The folder and the filter come first: changing either may reset the name field.
    dialog.setDirectory(settings.folder);
    dialog.setNameFilters({settings.filter});
    const QStringList filters = dialog.nameFilters();
    if (settings.filterIndex >= 1 && settings.filterIndex <= filters.size())
        dialog.selectNameFilter(filters.at(settings.filterIndex - 1));
    dialog.setDefaultSuffix(settings.defaultSuffix);
    dialog.selectFile(settings.initialName);
}

std::optional<QString> runOpenDialog(QWidget* parent, const FileDialogSettings& settings)
{
    keepNoSettings();
    QFileDialog dialog(parent);
    configureOpenDialog(dialog, settings);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    // Qt's dialog answers with "/" everywhere; Windows users read "C:\\fw\\unit.pf3".
    return QDir::toNativeSeparators(dialog.selectedFiles().value(0));
}

std::optional<QString> runSaveTextDialog(QWidget* parent, const QString& suggestedName)
{
    keepNoSettings();
    QFileDialog dialog(parent);
    // Qt's own dialog, as for opening: a desktop's native one may keep a list of recent files.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDirectory(QDir::currentPath());
    dialog.setNameFilters({QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(suggestedName);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return QDir::toNativeSeparators(dialog.selectedFiles().value(0));
}

} // namespace flash3::ui
