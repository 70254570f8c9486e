// flash3: the desktop program.

#include "ui/app_identity.h"
#include "ui/main_window.h"

#include "app/form1.h"
#include "app/startup.h"
#include "app/tick_driver.h"
#include "serial/driver.h"
#include "ports/system_backend.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {

const char* const Usage =
    "Usage: flash3 [IMAGE]\n"
    "The desktop program that reflashes a KORVEN-7 device waiting in FLASH3 boot mode.\n"
    "IMAGE (.pf3) is chosen at start; the whole command line is its name.\n"
    "flash3 --help and flash3 --version, alone on the command line, print and exit.\n"
    "Without a display, flash3-cli does the same work (flash3-cli --help).\n";

// While Qt looks for its window system, its own complaints are held back: if
// it finds none, one line says so, instead of Qt's lines and an abort.
bool startingUp = true;
QtMessageHandler qtHandler = nullptr;

void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (startingUp && type == QtFatalMsg) {
        const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
        QByteArray where;
        if (!platform.isEmpty())
            where = "the window system \"" + platform + "\" cannot be used";
        else if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            where = "no display (DISPLAY is not set)";
        else
            where = "no display can be reached (DISPLAY=" + qgetenv("DISPLAY") + ")";
        std::fprintf(stderr, "flash3: cannot open a window: %s; flash3-cli flashes without one\n", where.constData());
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (startingUp && context.category && QByteArray(context.category).startsWith("qt.qpa"))
        return;
    qtHandler(type, context, message);
}

} // namespace

int main(int argc, char* argv[])
{
    // The command line is the image's name and nothing else: all of it is the
    // program's, and Qt is given none of it to take as its own options
    // (-reverse, -style, -platform, ...). Qt's settings come from its
    // environment variables instead (QT_QPA_PLATFORM, QT_STYLE_OVERRIDE, ...).
    const QStringList arguments = flash3::commandLineArguments(argc, argv);
    if (arguments == QStringList{QStringLiteral("--help")}) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (arguments == QStringList{QStringLiteral("--version")}) {
        std::printf("flash3 %s\n", FLASH3_VERSION);
        return 0;
    }
    int qtArgc = argc > 0 ? 1 : 0;
    qtHandler = qInstallMessageHandler(onQtMessage);
    QApplication app(qtArgc, argv);
    startingUp = false;
    QApplication::setApplicationName(QStringLiteral("flash3"));
    QApplication::setApplicationVersion(QStringLiteral(FLASH3_VERSION));
    QApplication::setWindowIcon(flash3::ui::applicationIcon());
    // The program ends through "Exit / Abort" (or the main window's close, which is the same).
    QApplication::setQuitOnLastWindowClosed(false);

    flash3::SystemBackend backend;
    flash3::SerialDriver driver(backend);
    flash3::Form1 form(driver);
    flash3::ui::MainWindow window(form);
    QObject::connect(&window, &flash3::ui::MainWindow::programFinished, &app, [] { QCoreApplication::exit(0); });

    flash3::MainStartUp(form, arguments);
    flash3::TickDriver ticks(form);
    window.show();
    return QApplication::exec();
}
