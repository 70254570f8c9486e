// Window geometry: every caption readable, nothing overlapping, one scale for
// a whole window.

#include "engine_harness.h"
#include "qt_print.h"
#include "ui_harness.h"

#include "ui/about_dialog.h"
#include "ui/main_window.h"
#include "ui/port_dialog.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTest>

#include <cmath>

using namespace flash3;
using namespace flash3::testing;
using flash3::ui::AboutDialog;
using flash3::ui::MainWindow;

namespace {

// The controls that belong to `window` itself (not to a dialog it owns).
QList<QWidget*> controlsOf(QWidget* window)
{
    QList<QWidget*> controls;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->window() == window && !w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_")))
            controls << w;
    }
    return controls;
}

QString shownText(QString caption)
{
    return caption.remove(QLatin1Char('&'));
}

void expectFits(QWidget* w, const QString& caption)
{
    const QString text = shownText(caption);
    const QFontMetrics fm = w->fontMetrics();
    const int advance = fm.horizontalAdvance(text);
    const QStyle* style = w->style();
    const char* name = qPrintable(w->objectName());
    if (qobject_cast<QPushButton*>(w)) {
        const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w);
        EXPECT_LE(advance, w->width() - style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w) - 2 * frame) << name;
        EXPECT_LE(fm.height(), w->height() - 2 * frame) << name;
    } else if (qobject_cast<QRadioButton*>(w)) {
        const int indicator = style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, w)
            + style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, w);
        EXPECT_LE(advance, w->width() - indicator) << name;
        EXPECT_LE(fm.height(), w->height()) << name;
    } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
        QStyleOptionGroupBox option;
        option.initFrom(box);
        option.text = text;
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        const QRect title = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
        EXPECT_GE(title.width(), advance) << name;
        EXPECT_TRUE(box->rect().contains(title)) << name;
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        const QRect inside = label->contentsRect();
        if (label->wordWrap()) {
            const QRect needed = fm.boundingRect(QRect(0, 0, inside.width(), 10000), Qt::TextWordWrap, text);
            EXPECT_LE(needed.width(), inside.width()) << name;
            EXPECT_LE(needed.height(), inside.height()) << name;
        } else {
            EXPECT_LE(advance, inside.width()) << name;
            EXPECT_LE(fm.height(), inside.height()) << name;
        }
    }
}

void expectCaptionsFit(QWidget* window)
{
    for (QWidget* w : controlsOf(window)) {
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            expectFits(w, b->text());
        else if (auto* box = qobject_cast<QGroupBox*>(w))
            expectFits(w, box->title());
        else if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty())
            expectFits(w, label->text());
    }
}

// No two visible controls with the same parent share a pixel, except `allowed`.
void expectNoOverlap(QWidget* window, const QSet<QString>& allowed = {})
{
    const QList<QWidget*> controls = controlsOf(window);
    for (int i = 0; i < controls.size(); ++i) {
        for (int j = i + 1; j < controls.size(); ++j) {
            QWidget* a = controls[i];
            QWidget* b = controls[j];
            if (a->parentWidget() != b->parentWidget() || !a->isVisibleTo(window) || !b->isVisibleTo(window))
                continue;
            if (allowed == QSet<QString>{a->objectName(), b->objectName()})
                continue;
            EXPECT_FALSE(a->geometry().intersects(b->geometry()))
                << qPrintable(a->objectName()) << " and " << qPrintable(b->objectName());
        }
    }
}

// A box in twips at the window's scale, as it should be on screen.
QRect expectedBox(double scale, int left, int top, int width, int height)
{
    const double k = scale / 15.0;  // 96 dpi on the offscreen platform
    auto px = [k](int twips) { return static_cast<int>(std::lround(twips * k)); };
    return QRect(QPoint(px(left), px(top)), QPoint(px(left + width) - 1, px(top + height) - 1));
}

void expectNear(const QRect& actual, const QRect& expected, const char* name)
{
    EXPECT_LE(std::abs(actual.left() - expected.left()), 1) << name;
    EXPECT_LE(std::abs(actual.top() - expected.top()), 1) << name;
    EXPECT_LE(std::abs(actual.right() - expected.right()), 1) << name;
    EXPECT_LE(std::abs(actual.bottom() - expected.bottom()), 1) << name;
}

} // namespace

TEST(UiLayout, CaptionsFitAndNothingOverlaps)
{
    Ui ui;
    ASSERT_EQ(QApplication::primaryScreen()->logicalDotsPerInchX(), 96);
    ui.window.portDialog()->show();
    ui.window.menuHelpAbout_Click();
    for (QWidget* window : {static_cast<QWidget*>(&ui.window), static_cast<QWidget*>(ui.window.portDialog()),
                            static_cast<QWidget*>(ui.window.aboutDialog())}) {
        SCOPED_TRACE(window->objectName().toStdString());
        expectCaptionsFit(window);
        expectNoOverlap(window, {QStringLiteral("Label2"), QStringLiteral("List2")});
    }
    // The caption "Program FLASH" takes during a run fits too.
    expectFits(ui.window.findChild<QPushButton*>(QStringLiteral("ProgramFlash")), QStringLiteral("Abort Process"));
}

// Sets the application's layout direction for the life of the object; widgets
// made meanwhile take it.
class LayoutDirection {
public:
    explicit LayoutDirection(Qt::LayoutDirection direction) { QApplication::setLayoutDirection(direction); }
    ~LayoutDirection() { QApplication::setLayoutDirection(Qt::LeftToRight); }
};

struct WindowScales {
    double main, port, about;
};

// Every window of `ui` is its twips layout at one scale, mirrored inside each
// parent when right to left; returns the scales.
WindowScales expectTwipsLayouts(Ui& ui, bool rightToLeft)
{
    ui.window.menuHelpAbout_Click();
    struct Box {
        const char* name;
        int left, top, width, height;
        int parentWidth;  // twips
    };
    struct Window {
        QWidget* client;
        double scale;
        QSize twips;
        std::vector<Box> boxes;
    };
    const Window windows[] = {
        {ui.window.centralWidget(), ui.window.layoutScale(), {7035, 6915},
         {{"SelectInputFile", 360, 2520, 1695, 375, 7035}, {"List2", 2280, 3960, 4575, 1815, 7035},
          {"Text5", 6120, 6480, 735, 285, 7035}}},
        // Grown by the lines that say what the highlighted number stands for and which are present.
        {ui.window.portDialog(), ui.window.portDialog()->layoutScale(), {2910, 4695},
         {{"Cancel1", 1560, 2880, 1095, 375, 2910}, {"Frame2", 1560, 480, 1095, 2175, 2910},
          {"ComBaudBtn(5)", 120, 1800, 855, 255, 1095}, {"ComPortList", 240, 480, 975, 2205, 2910},
          {"PortInfo", 120, 3375, 2670, 1200, 2910}}},
        {ui.window.aboutDialog(), ui.window.aboutDialog()->layoutScale(), {5730, 3555},
         {{"cmdSysInfo", 4260, 3075, 1245, 345, 5730}, {"lblDisclaimer", 255, 2625, 3870, 825, 5730}}},
    };
    for (const Window& w : windows) {
        SCOPED_TRACE(w.client->window()->objectName().toStdString());
        EXPECT_EQ(w.client->isRightToLeft(), rightToLeft);
        EXPECT_GE(w.scale, 1.0);
        expectNear(QRect(QPoint(0, 0), w.client->size()), expectedBox(w.scale, 0, 0, w.twips.width(), w.twips.height()),
                   "client area");
        EXPECT_EQ(w.client->window()->minimumSize(), w.client->window()->maximumSize());
        for (const Box& b : w.boxes) {
            QWidget* control = w.client->findChild<QWidget*>(QString::fromLatin1(b.name));
            EXPECT_NE(control, nullptr) << b.name;
            if (!control)
                continue;
            const QRect ltr = expectedBox(w.scale, b.left, b.top, b.width, b.height);
            QRect expected = ltr;
            if (rightToLeft)
                expected.moveLeft(expectedBox(w.scale, 0, 0, b.parentWidth, 1).width() - ltr.left() - ltr.width());
            expectNear(control->geometry(), expected, b.name);
        }
    }
    return {windows[0].scale, windows[1].scale, windows[2].scale};
}

TEST(UiLayout, EachWindowIsOneScaleOfItsTwipsLayout)
{
    Ui ui;
    expectTwipsLayouts(ui, false);
}

// Right to left (a translation into such a language, say) each window is the
// same layout, mirrored, at the same scale: no caption needs more room.
TEST(UiLayout, RightToLeftIsTheSameLayoutMirrored)
{
    WindowScales ltr{};
    {
        Ui ui;
        ltr = expectTwipsLayouts(ui, false);
    }
    LayoutDirection direction(Qt::RightToLeft);
    Ui ui;
    const WindowScales rtl = expectTwipsLayouts(ui, true);
    EXPECT_EQ(rtl.main, ltr.main);
    EXPECT_EQ(rtl.port, ltr.port);
    EXPECT_EQ(rtl.about, ltr.about);
    ui.window.portDialog()->show();
    for (QWidget* window : {static_cast<QWidget*>(&ui.window), static_cast<QWidget*>(ui.window.portDialog()),
                            static_cast<QWidget*>(ui.window.aboutDialog())}) {
        SCOPED_TRACE(window->objectName().toStdString());
        expectCaptionsFit(window);
        expectNoOverlap(window, {QStringLiteral("Label2"), QStringLiteral("List2")});
    }
    // The speed buttons read from top to bottom as ever, their circles on the right.
    QRadioButton* slowest = ui.speed(1);
    EXPECT_LT(slowest->y(), ui.speed(5)->y());
    EXPECT_TRUE(slowest->isRightToLeft());
}

TEST(UiLayout, DebugLabelLiesUnderTheDebugLog)
{
    Ui ui;
    QLabel* label = ui.window.findChild<QLabel*>(QStringLiteral("Label2"));
    QListWidget* list = ui.child<QListWidget>(QStringLiteral("List2"));
    EXPECT_EQ(label->text(), "Debug");
    EXPECT_TRUE(label->isVisible());
    EXPECT_TRUE(list->geometry().contains(label->geometry()));
    EXPECT_EQ(label->parentWidget()->childAt(label->geometry().center()), list->viewport());
}

TEST(UiLayout, AboutSeparatorIsEtched)
{
    Ui ui;
    ui.window.menuHelpAbout_Click();
    AboutDialog* about = ui.window.aboutDialog();
    // A grey line of one pixel over a white one of two.
    QWidget* grey = about->findChild<QWidget*>(QStringLiteral("Line1(1)"));
    QWidget* white = about->findChild<QWidget*>(QStringLiteral("Line1(0)"));
    EXPECT_EQ(grey->height(), 1);
    EXPECT_EQ(white->height(), 2);
    EXPECT_EQ(white->y(), grey->y() + 1);
    const QImage picture = about->grab().toImage();
    EXPECT_EQ(picture.pixelColor(grey->geometry().center()), QColor(128, 128, 128));
    EXPECT_EQ(picture.pixelColor(white->geometry().center()), QColor(255, 255, 255));
}
