#include "app/startup.h"

#include "app/form1.h"

#include <algorithm>

namespace flash3 {

QString fileNameFromCommandLine(const QString& commandLine)
{
    // The extension is what follows the last "." of the file-name part: a dot
    // in a folder name ("./fw/", "C:\rev.b\") or in a version ("fw-1.2.3")
    // must not cut the name short.
    const int slash = static_cast<int>(std::max(commandLine.lastIndexOf(QLatin1Char('/')),
                                                commandLine.lastIndexOf(QLatin1Char('\\'))));
    const int dot = static_cast<int>(commandLine.lastIndexOf(QLatin1Char('.')));
    if (dot <= slash)
        return QString();
    return commandLine.left(dot + 1) + QStringLiteral("PF3");
}

QStringList commandLineArguments(int argc, const char* const* argv)
{
    QStringList arguments;
    for (int i = 1; i < argc && argv[i]; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

void MainStartUp(Form1& form, const QStringList& arguments)
{
    form.InitVariables();
    WindowModel& window = form.window();
    window.setTimerEnabled(false);
    window.setTimerInterval(5);
    form.CommandLine = arguments.join(QLatin1Char(' '));
    form.FileName = form.CommandLine.isEmpty() ? QString() : fileNameFromCommandLine(form.CommandLine);
    if (!form.FileName.isEmpty())
        form.FileMode = 1;
    window.setText(TextId::Text1, form.FileName.isEmpty() ? QStringLiteral("No File Selected.") : form.FileName);
}

} // namespace flash3
