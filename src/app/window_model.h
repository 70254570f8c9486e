#pragma once
// The controls the routines drive, as plain data: text boxes, the two logs,
// the buttons, the tick timer and the port dialog. Views (the widgets, the CLI,
// tests) observe the model; nothing here knows about a screen.

#include <QString>
#include <QStringList>

#include <vector>

namespace flash3 {

enum class TextId { Text1, Text2, Text3, Text4, Text5 };
enum class LogId { List1, List2 };
enum class ButtonId { ProgramFlash, ConfigComPort, SelectInputFile, AbortProgram };

struct TextBox {
    QString text;
    int caret = 0;
};

// A single-column list box that keeps at most `limit` lines.
struct LogList {
    explicit LogList(int lineLimit) : limit(lineLimit) {}
    QStringList lines;
    int limit;
    int currentRow = -1;   // -1: no current entry
    bool highlighted = false;
};

struct Button {
    QString caption;
    bool enabled = true;
};

struct TickTimer {
    bool enabled = false;
    int interval = 20;  // milliseconds
    // A run (or the check before one) is going on. While none is, a tick only
    // counts TimeoutCount down, which every run start reloads anyway: a real
    // timer need not fire then, and a program that waits costs nothing.
    bool runActive = false;
};

// The COM port parameters dialog (Form2): port list and speed option buttons.
struct PortDialog {
    bool visible = false;
    QStringList portList;       // ComPortList
    int portListIndex = -1;     // selected entry, -1 when none
    int selectedBaudBtn = 0;    // ComBaudBtn index 1..5 that is selected, 0 none
    bool baudBtnEnabled[6] = {false, false, false, false, false, false};  // [1..5] used
    // Per entry of portList, the device present that its number stands for
    // ("/dev/ttyUSB0 (FT232R USB UART)"), empty when none is: views mark those
    // entries without changing their text. Found when the dialog opens.
    QStringList portDevices;
};

// The ports present, by the entries that reach them, for the line under the
// list: "Present: COM 33 /dev/ttyUSB0 (FT232R USB UART)". A station's worth
// is cut short: the list marks every one of them anyway.
QString presentPortsLine(const PortDialog& dialog);

// Told of every change, synchronously, while the routine runs.
class WindowObserver {
public:
    virtual ~WindowObserver() = default;
    virtual void textChanged(TextId) {}
    // A line was appended; `removed` oldest lines were dropped after it.
    virtual void logAppended(LogId, const QString& /*line*/, int /*removed*/) {}
    virtual void logCleared(LogId) {}
    virtual void buttonChanged(ButtonId) {}
    virtual void timerChanged() {}
    virtual void portDialogChanged() {}
    // The image check before a run moved on (or ended: checkProgress() < 0).
    virtual void checkProgressChanged() {}
    // "Exit / Abort" ended the program: no further event is to be handled.
    virtual void programEnded() {}
};

class WindowModel {
public:
    WindowModel();

    void addObserver(WindowObserver* observer);
    void removeObserver(WindowObserver* observer);

    const TextBox& text(TextId id) const { return texts_[index(id)]; }
    void setText(TextId id, const QString& text);
    void setCaretToEnd(TextId id);

    const LogList& log(LogId id) const { return id == LogId::List1 ? list1_ : list2_; }
    void appendLog(LogId id, const QString& line);
    void clearLog(LogId id);

    const Button& button(ButtonId id) const { return buttons_[index(id)]; }
    void setCaption(ButtonId id, const QString& caption);
    void setEnabled(ButtonId id, bool enabled);

    const TickTimer& timer2() const { return timer2_; }
    void setTimerEnabled(bool enabled);
    void setTimerInterval(int milliseconds);
    void setRunActive(bool active);

    const PortDialog& portDialog() const { return dialog_; }
    void setPortList(const QStringList& items);
    void setPortDevices(const QStringList& devices);
    void selectPort(int index);
    void selectBaudBtn(int index);
    void setBaudBtnEnabled(int index, bool enabled);
    void setPortDialogVisible(bool visible);

    // Percent of the image checked before a run, or -1 when no check is going on.
    int checkProgress() const { return checkProgress_; }
    void setCheckProgress(int percent);

    bool programEnded() const { return ended_; }
    void endProgram();

private:
    static int index(TextId id) { return static_cast<int>(id); }
    static int index(ButtonId id) { return static_cast<int>(id); }
    template <typename F> void notify(F&& f);

    TextBox texts_[5];
    LogList list1_{1000};
    LogList list2_{300};
    Button buttons_[4];
    TickTimer timer2_;
    PortDialog dialog_;
    int checkProgress_ = -1;
    bool ended_ = false;
    std::vector<WindowObserver*> observers_;
};

} // namespace flash3
