#pragma once
// The file dialogs: the file-open dialog behind "Select Input File" and the
// save dialog behind a log's "Save As...".

#include "app/form1.h"

#include <QString>

#include <optional>

class QFileDialog;
class QWidget;

namespace flash3::ui {

// Applies the settings to a dialog (Qt's own dialog, so it behaves the same everywhere).
void configureOpenDialog(QFileDialog& dialog, const FileDialogSettings& settings);

// Shows the dialog modal to `parent`; the chosen full path, or nothing when cancelled.
std::optional<QString> runOpenDialog(QWidget* parent, const FileDialogSettings& settings);

// Asks modally where to save a text file, offering `suggestedName` in the
// working directory; the chosen full path, or nothing when cancelled.
std::optional<QString> runSaveTextDialog(QWidget* parent, const QString& suggestedName);

// Qt's file dialog keeps its folder, history and view in the user's shared
// "QtProject" settings and reads them back the next time. This program keeps
// no settings between runs: from this call on, no settings file is read or
// written by this process.
void keepNoSettings();

} // namespace flash3::ui
