#include "ui/twips_layout.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace flash3::ui {

namespace {

constexpr double TwipsPerInch = 1440.0;
// Far beyond any font a caption box could need; the search stops there.
constexpr double LargestScale = 4.0;
constexpr double ScaleStep = 0.01;

// QLineEdit draws its text this far inside the frame's contents.
constexpr int LineEditHorizontalMargin = 2;
constexpr int LineEditVerticalMargin = 1;

bool pushButtonFits(const QPushButton* button, const QString& text)
{
    const QStyle* style = button->style();
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    const QFontMetrics fm = button->fontMetrics();
    return fm.horizontalAdvance(visibleCaption(text)) + margin + 2 * frame <= button->width()
        && fm.height() + 2 * frame <= button->height();
}

bool indicatorButtonFits(const QAbstractButton* button, const QString& text)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.rect = button->rect();
    option.text = text;
    const bool radio = qobject_cast<const QRadioButton*>(button) != nullptr;
    const QRect contents = button->style()->subElementRect(
        radio ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents, &option, button);
    const QFontMetrics fm = button->fontMetrics();
    return fm.horizontalAdvance(visibleCaption(text)) <= contents.width() && fm.height() <= button->height();
}

bool groupBoxFits(const QGroupBox* box, const QString& text)
{
    QStyleOptionGroupBox option;
    option.initFrom(box);
    option.rect = box->rect();
    option.text = text;
    option.lineWidth = 1;
    option.textAlignment = box->alignment();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect label =
        box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
    const QFontMetrics fm = box->fontMetrics();
    // The title keeps at least the distance from the far edge that it has from
    // the edge it starts at (the right one, right to left).
    const int leftGap = label.left();
    const int rightGap = box->width() - 1 - label.right();
    const int nearGap = box->isRightToLeft() ? rightGap : leftGap;
    const int farGap = box->isRightToLeft() ? leftGap : rightGap;
    return nearGap >= 0 && fm.horizontalAdvance(visibleCaption(text)) <= label.width() && farGap >= nearGap;
}

bool labelFits(const QLabel* label, const QString& text)
{
    if (text.isEmpty())
        return true;
    const QRect contents = label->contentsRect();
    const QFontMetrics fm = label->fontMetrics();
    if (label->wordWrap()) {
        int widestWord = 0;
        for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            widestWord = std::max(widestWord, fm.horizontalAdvance(word));
        const QRect needed = fm.boundingRect(QRect(0, 0, contents.width(), 100000),
                                             Qt::TextWordWrap | static_cast<int>(label->alignment()), text);
        return widestWord <= contents.width() && needed.height() <= contents.height();
    }
    return fm.horizontalAdvance(text) <= contents.width() && fm.height() <= contents.height();
}

bool lineEditFits(const QLineEdit* edit, const QString& text)
{
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.rect = edit->rect();
    option.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    const QRect contents =
        edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit).marginsRemoved(edit->textMargins());
    const QFontMetrics fm = edit->fontMetrics();
    return fm.horizontalAdvance(text) + 2 * LineEditHorizontalMargin <= contents.width()
        && fm.height() + 2 * LineEditVerticalMargin <= contents.height();
}

bool textFits(const QWidget* widget, const QString& text)
{
    if (auto* button = qobject_cast<const QPushButton*>(widget))
        return pushButtonFits(button, text);
    if (auto* button = qobject_cast<const QAbstractButton*>(widget))
        return indicatorButtonFits(button, text);
    if (auto* box = qobject_cast<const QGroupBox*>(widget))
        return groupBoxFits(box, text);
    if (auto* label = qobject_cast<const QLabel*>(widget))
        return labelFits(label, text);
    if (auto* edit = qobject_cast<const QLineEdit*>(widget))
        return lineEditFits(edit, text);
    return true;
}

QString captionOf(const QWidget* widget)
{
    if (auto* button = qobject_cast<const QAbstractButton*>(widget))
        return button->text();
    if (auto* box = qobject_cast<const QGroupBox*>(widget))
        return box->title();
    if (auto* label = qobject_cast<const QLabel*>(widget))
        return label->text();
    return QString();
}

} // namespace

QString visibleCaption(const QString& caption)
{
    QString shown;
    shown.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption.at(i) == QLatin1Char('&')) {
            // "&&" shows one "&"; a single "&" only marks the access key.
            if (i + 1 < caption.size() && caption.at(i + 1) == QLatin1Char('&')) {
                shown += QLatin1Char('&');
                ++i;
            }
            continue;
        }
        shown += caption.at(i);
    }
    return shown;
}

bool captionFits(const QWidget* widget, const QString& sample)
{
    // A line edit's own text is data, not a caption: only its frame and the
    // sample (the widest value it is meant to show) are checked.
    const bool isEdit = qobject_cast<const QLineEdit*>(widget) != nullptr;
    if (!textFits(widget, isEdit ? QString() : captionOf(widget)))
        return false;
    return sample.isEmpty() || textFits(widget, sample);
}

TwipsLayout::TwipsLayout(QWidget* client, QSize clientTwips) : client_(client), clientTwips_(clientTwips) {}

void TwipsLayout::place(QWidget* widget, int left, int top, int width, int height)
{
    items_.push_back({widget, QRect(left, top, width, height), QString()});
}

void TwipsLayout::requireText(QWidget* widget, const QString& text)
{
    for (Item& item : items_) {
        if (item.widget == widget)
            item.sample = text;
    }
}

double TwipsLayout::pixelsPerTwip() const
{
    return client_->logicalDpiX() / TwipsPerInch;
}

QRect TwipsLayout::toPixels(const QRect& twips) const
{
    const double k = pixelsPerTwip() * scale_;
    const int left = static_cast<int>(std::lround(twips.x() * k));
    const int top = static_cast<int>(std::lround(twips.y() * k));
    const int right = static_cast<int>(std::lround((twips.x() + twips.width()) * k));
    const int bottom = static_cast<int>(std::lround((twips.y() + twips.height()) * k));
    return QRect(left, top, right - left, bottom - top);
}

QSize TwipsLayout::clientPixels() const
{
    return toPixels(QRect(QPoint(0, 0), clientTwips_)).size();
}

int TwipsLayout::pixelWidthOf(const QWidget* parent) const
{
    if (parent == client_)
        return clientPixels().width();
    for (const Item& item : items_) {
        if (item.widget == parent)
            return toPixels(item.twips).width();
    }
    return parent->width();
}

QRect TwipsLayout::placedBox(const Item& item) const
{
    QRect box = toPixels(item.twips);
    // Right to left, every box is mirrored inside its parent, as Qt's own
    // layouts place widgets there; the widgets mirror their insides themselves.
    const QWidget* parent = item.widget->parentWidget();
    if (parent && parent->isRightToLeft())
        box.moveLeft(pixelWidthOf(parent) - box.left() - box.width());
    return box;
}

void TwipsLayout::placeAll(double scale)
{
    scale_ = scale;
    for (const Item& item : items_)
        item.widget->setGeometry(placedBox(item));
}

bool TwipsLayout::fitsAt(double scale)
{
    placeAll(scale);
    return std::all_of(items_.begin(), items_.end(),
                       [](const Item& item) { return captionFits(item.widget, item.sample); });
}

double TwipsLayout::apply()
{
    // Whole steps of 1 % keep the result the same on every run with the same font.
    int steps = 0;
    const int lastStep = static_cast<int>(std::lround((LargestScale - 1.0) / ScaleStep));
    while (steps < lastStep && !fitsAt(1.0 + steps * ScaleStep))
        ++steps;
    placeAll(1.0 + steps * ScaleStep);
    client_->setFixedSize(clientPixels());
    return scale_;
}

} // namespace flash3::ui
