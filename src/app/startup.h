#pragma once
// Bringing the program up: defaults, the tick timer, and the image name taken
// from the command line.

#include <QString>
#include <QStringList>

namespace flash3 {

class Form1;

// The image name a command line stands for: its text up to and including the
// last "." of the file-name part, followed by "PF3"; empty when that part has
// no ".".
QString fileNameFromCommandLine(const QString& commandLine);

// The program's arguments as the process was given them (argv[1] on), decoded
// as Qt decodes them; to be taken before Qt sees argv, since Qt would remove
// the options it knows (-reverse, -style, ...) from it.
QStringList commandLineArguments(int argc, const char* const* argv);

// Everything start-up does to the main window's state, once the windows exist:
// defaults, Timer2 disabled at 5 ms, FileName from the arguments, Text1.
void MainStartUp(Form1& form, const QStringList& arguments);

} // namespace flash3
