// flash3-screenshots OUTDIR: pictures of every window, drawn offscreen, for a
// look at the layout: the main window at start-up, in the middle of a run and
// after it, a log's context menu, the COM port dialog (two USB adapters
// present) and the About dialog, the file-open dialog, and the main window and
// the COM port dialog right to left. The run is played against a scripted
// device, one tick at a time.

#include "ui/about_dialog.h"
#include "ui/file_dialog.h"
#include "ui/log_view.h"
#include "ui/main_window.h"
#include "ui/port_dialog.h"

#include "app/form1.h"
#include "app/startup.h"
#include "image/record.h"
#include "protocol/wire.h"
#include "serial/driver.h"
#include "serial/fake_backend.h"
#include "ports/port_map.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <vector>

namespace {

// A device in boot mode answering the handshake and every R record of `image`.
class ScriptedDevice {
public:
    ScriptedDevice(flash3::FakeBackend& backend, const QByteArray& image) : backend_(backend)
    {
        for (int i = 0; i + flash3::RecordSize <= image.size(); i += flash3::RecordSize) {
            const flash3::ImageRecord r = flash3::readRecord(image.constData() + i);
            if (r.kind == flash3::RecordKind::Send || r.kind == flash3::RecordKind::Expect)
                steps_.push_back({r.kind == flash3::RecordKind::Send, r.value});
        }
        backend_.onWrite = [this](uint8_t b) { received(b); };
    }

private:
    struct Step {
        bool transmit;
        uint8_t byte;
    };
    void received(uint8_t b)
    {
        if (!entered_) {
            entered_ = previous_ == flash3::EntryBytes[0] && b == flash3::EntryBytes[1];
            previous_ = b;
            if (entered_)
                backend_.deliverAt(backend_.tick() + 1, {flash3::EntryReply[0], flash3::EntryReply[1]});
            return;
        }
        if (next_ < steps_.size() && steps_[next_].transmit)
            ++next_;
        std::vector<uint8_t> answers;
        while (next_ < steps_.size() && !steps_[next_].transmit)
            answers.push_back(steps_[next_++].byte);
        if (!answers.empty())
            backend_.deliverAt(backend_.tick() + 1, answers);
    }

    flash3::FakeBackend& backend_;
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    bool entered_ = false;
    int previous_ = -1;
};

// 120 lines of eight bytes sent and two read back.
QByteArray sampleImage()
{
    using flash3::RecordKind;
    using flash3::recordText;
    std::string image;
    for (int line = 0; line < 120; ++line) {
        for (int i = 0; i < 8; ++i)
            image += recordText(RecordKind::Send, static_cast<uint8_t>(line * 8 + i));
        image += recordText(RecordKind::Expect, static_cast<uint8_t>(line));
        image += recordText(RecordKind::Expect, static_cast<uint8_t>(line * 3));
        image += recordText(RecordKind::LineEnd);
    }
    return QByteArray::fromStdString(image);
}

bool save(QWidget* widget, const QDir& dir, const char* name)
{
    QCoreApplication::processEvents();
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// `window` with its popup `menu` drawn over it where the screen shows it.
bool saveWithMenu(QWidget* window, QMenu* menu, const QDir& dir, const char* name)
{
    QCoreApplication::processEvents();
    const QRect windowRect(window->mapToGlobal(QPoint(0, 0)), window->size());
    const QRect menuRect(menu->pos(), menu->size());
    const QRect all = windowRect.united(menuRect);
    QPixmap picture(all.size());
    picture.fill(Qt::white);
    QPainter painter(&picture);
    painter.drawPixmap(windowRect.topLeft() - all.topLeft(), window->grab());
    painter.drawPixmap(menuRect.topLeft() - all.topLeft(), menu->grab());
    painter.end();
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!picture.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// A second window of type W over `form`, made in a right-to-left session.
template <typename W>
bool saveMirrored(flash3::Form1& form, const QDir& dir, const char* name)
{
    QApplication::setLayoutDirection(Qt::RightToLeft);
    W mirrored(form);
    // Set on the window itself, or going back to left to right would take it along.
    mirrored.setLayoutDirection(Qt::RightToLeft);
    QApplication::setLayoutDirection(Qt::LeftToRight);
    mirrored.show();
    return save(&mirrored, dir, name);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: flash3-screenshots OUTDIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    out.setPath(out.absolutePath());

    // The image sits in the working folder, named on the command line as an operator would.
    QTemporaryDir work;
    const QByteArray image = sampleImage();
    QFile file(work.filePath(QStringLiteral("sample.pf3")));
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return 1;
    file.close();
    QDir::setCurrent(work.path());

    // Two USB adapters plugged in (files stand for them), so the dialog marks
    // COM 33 and 34; COM 2, highlighted at start-up, has no device.
    QDir devices(work.filePath(QStringLiteral("dev")));
    for (const char* name : {"ttyUSB0", "ttyUSB1"}) {
        QFile node(work.filePath(QStringLiteral("dev/") + QLatin1String(name)));
        if (!devices.mkpath(QStringLiteral(".")) || !node.open(QIODevice::WriteOnly))
            return 1;
    }
    flash3::setPortMapPathsForTesting(flash3::PortMapPaths{devices.path(), work.filePath(QStringLiteral("ports.conf")),
                                                           work.filePath(QStringLiteral("system-ports.conf"))});

    flash3::FakeBackend backend;
    flash3::SerialDriver driver(backend);
    flash3::Form1 form(driver);
    ScriptedDevice device(backend, image);
    flash3::ui::MainWindow window(form);
    flash3::MainStartUp(form, {QStringLiteral("sample.pf3")});
    window.show();
    bool ok = save(&window, out, "main-startup.png");

    auto click = [&window](const char* name) { window.findChild<QPushButton*>(QString::fromLatin1(name))->click(); };
    auto tick = [&] {
        backend.setTick(backend.tick() + 1);
        form.Timer2_Timer();
    };

    click("ConfigComPort");
    ok = save(window.portDialog(), out, "port-dialog.png") && ok;
    ok = saveMirrored<flash3::ui::PortDialog>(form, out, "port-dialog-rtl.png") && ok;
    window.portDialog()->findChild<QPushButton*>(QStringLiteral("Initialize"))->click();

    click("ProgramFlash");
    for (int n = 0; n < 100000 && form.RecordsDone < form.RecordsTotal / 2; ++n)
        tick();
    ok = save(&window, out, "main-midrun.png") && ok;
    for (int n = 0; n < 100000 && form.ProgramMode != flash3::RunMode::Idle; ++n)
        tick();
    ok = save(&window, out, "main-complete.png") && ok;

    // Three lines of the Status1 log chosen, and its context menu opened over them.
    auto* log = window.findChild<flash3::ui::LogView*>(QStringLiteral("List1"));
    const int last = log->count() - 1;
    for (int row = last - 4; row <= last - 2; ++row)
        log->item(row)->setSelected(true);
    QMenu* menu = log->contextMenu();
    menu->popup(log->viewport()->mapToGlobal(log->visualItemRect(log->item(last - 3)).center()));
    ok = saveWithMenu(&window, menu, out, "main-log-menu.png") && ok;
    menu->close();
    log->clearSelection();

    // A large image while it is checked before its run, then one refused for a fault.
    QByteArray large;
    while (large.size() < 3 * flash3::Form1::CheckSliceBytes)
        large += image;
    QFile largeFile(work.filePath(QStringLiteral("large.pf3")));
    if (!largeFile.open(QIODevice::WriteOnly) || largeFile.write(large) != large.size())
        return 1;
    largeFile.close();
    form.FileName = largeFile.fileName();
    click("ProgramFlash");
    tick();
    ok = save(&window, out, "main-checking.png") && ok;
    click("ProgramFlash");
    QByteArray faulty = image;
    faulty[faulty.indexOf('T', faulty.size() / 2) + 1] = 'G';
    if (!largeFile.open(QIODevice::WriteOnly | QIODevice::Truncate) || largeFile.write(faulty) != faulty.size())
        return 1;
    largeFile.close();
    click("ProgramFlash");
    ok = save(&window, out, "main-refused.png") && ok;

    // The file-open dialog over the working folder, with its sizes and dates.
    {
        QFileDialog dialog(&window);
        flash3::FileDialogSettings settings;
        settings.folder = work.path();
        flash3::ui::configureOpenDialog(dialog, settings);
        dialog.show();
        for (int n = 0; n < 50; ++n) {  // the folder is read in the background
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
        ok = save(&dialog, out, "file-dialog.png") && ok;
    }

    window.menuHelpAbout_Click();
    ok = save(window.aboutDialog(), out, "about.png") && ok;

    // The main window right to left, showing the same logs and fields.
    ok = saveMirrored<flash3::ui::MainWindow>(form, out, "main-rtl.png") && ok;
    return ok ? 0 : 1;
}
