// flash3: the desktop program.

#include "ui/app_identity.h"
#include "ui/main_window.h"

#include "app/form1.h"
#include "app/startup.h"
#include "app/tick_driver.h"
#include "serial/driver.h"
#include "serial/termios_backend.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // The command line is the image's name and nothing else: all of it is the
    // program's, and Qt is given none of it to take as its own options
    // (-reverse, -style, -platform, ...). Qt's settings come from its
    // environment variables instead (QT_QPA_PLATFORM, QT_STYLE_OVERRIDE, ...).
    const QStringList arguments = flash3::commandLineArguments(argc, argv);
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("flash3"));
    QApplication::setApplicationVersion(QStringLiteral(FLASH3_VERSION));
    QApplication::setWindowIcon(flash3::ui::applicationIcon());
    // The program ends through "Exit / Abort" (or the main window's close, which is the same).
    QApplication::setQuitOnLastWindowClosed(false);

    flash3::TermiosBackend backend;
    flash3::SerialDriver driver(backend);
    flash3::Form1 form(driver);
    flash3::ui::MainWindow window(form);
    QObject::connect(&window, &flash3::ui::MainWindow::programFinished, &app, [] { QCoreApplication::exit(0); });

    flash3::MainStartUp(form, arguments);
    flash3::TickDriver ticks(form);
    window.show();
    return QApplication::exec();
}
