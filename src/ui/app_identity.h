#pragma once
// What the windows say about the application: its title, version and icon.

#include <QIcon>
#include <QString>

namespace flash3::ui {

// The application's title as the About dialog and its message box show it.
QString applicationTitle();
// "Version " followed by major.minor.revision.
QString versionText();
// The application icon, in every size it is drawn at.
QIcon applicationIcon();

} // namespace flash3::ui
