#include "ui/file_dialog.h"

#include <QFileDialog>

namespace flash3::ui {

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
    QFileDialog dialog(parent);
    configureOpenDialog(dialog, settings);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedFiles().value(0);
}

} // namespace flash3::ui
