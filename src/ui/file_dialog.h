#pragma once
// The file-open dialog behind "Select Input File".

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

} // namespace flash3::ui
