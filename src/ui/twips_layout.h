#pragma once
// Places controls from boxes given in twips (1/1440 inch) and makes the whole
// window larger, uniformly, when the default font would not fit a caption into
// its box. Controls keep their relative places; only the scale changes. In a
// right-to-left session the window is the same layout mirrored.

#include <QRect>
#include <QSize>
#include <QString>

#include <vector>

class QWidget;

namespace flash3::ui {

class TwipsLayout {
public:
    // `client` is the widget whose client area measures `clientTwips`.
    TwipsLayout(QWidget* client, QSize clientTwips);

    // `widget`'s box, relative to its parent's client area.
    void place(QWidget* widget, int left, int top, int width, int height);
    // A text that must fit `widget` although it does not show it now
    // (the widest value a box is expected to hold).
    void requireText(QWidget* widget, const QString& text);

    // Finds the smallest scale (1 or more) at which every caption fits and
    // places everything at it. Returns the scale.
    double apply();

    double scale() const { return scale_; }
    // Pixels per twip on the client's screen, before scaling.
    double pixelsPerTwip() const;
    // A box in twips converted with the current scale; edges are rounded, not
    // sizes, so boxes that touch in twips touch in pixels. Left to right: a
    // right-to-left parent gets its boxes mirrored when they are placed.
    QRect toPixels(const QRect& twips) const;
    QSize clientPixels() const;

    // Whether the captions fit the boxes at `scale` (the widgets are moved there).
    bool fitsAt(double scale);

private:
    struct Item {
        QWidget* widget;
        QRect twips;
        QString sample;
    };
    void placeAll(double scale);
    // Where `item` goes at the current scale, mirrored when its parent is laid out right to left.
    QRect placedBox(const Item& item) const;
    // The width in pixels that `parent` has, or will have once placed.
    int pixelWidthOf(const QWidget* parent) const;

    QWidget* client_;
    QSize clientTwips_;
    std::vector<Item> items_;
    double scale_ = 1.0;
};

// The text a caption shows: mnemonic markers removed ("&System Info..." -> "System Info...").
QString visibleCaption(const QString& caption);

// Whether `widget` shows its text (caption, title or `sample`) whole at its
// present size with the style's margins.
bool captionFits(const QWidget* widget, const QString& sample = QString());

} // namespace flash3::ui
