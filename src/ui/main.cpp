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
    QApplication app(argc, argv);
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

    flash3::MainStartUp(form, QCoreApplication::arguments().mid(1));
    flash3::TickDriver ticks(form);
    window.show();
    return QApplication::exec();
}
