#include "console.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdio>
#include <io.h>
#include <windows.h>

namespace flash3::cli {

namespace {
std::function<void()> interruptHandler;

// Called by the system on a thread of its own: hand the interrupt to the
// event loop and tell the system it is taken care of.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        if (interruptHandler && QCoreApplication::instance()) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), interruptHandler, Qt::QueuedConnection);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
} // namespace

void prepareConsole()
{
    // The progress bar redraws itself with VT escapes.
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode))
        SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void exitOnInterrupt()
{
    // Ctrl-C ends a console program at once unless a handler takes it.
}

bool stderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

bool stdoutIsTerminal()
{
    return _isatty(_fileno(stdout)) != 0;
}

int terminalRows()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Bottom - info.srWindow.Top + 1;
    return 24;
}

int terminalColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

struct InterruptWatch::Private {};

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt) : d_(std::make_unique<Private>())
{
    interruptHandler = std::move(onInterrupt);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

InterruptWatch::~InterruptWatch()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    interruptHandler = nullptr;
}

} // namespace flash3::cli
