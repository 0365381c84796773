// The image control: shows the picture of its picture holder, scaled to its size with every
// picture pixel a block of whole screen pixels, or sizes itself to the picture.
#pragma once

#include <functional>

#include <QImage>
#include <QWidget>

#include "image/Picture.h"

namespace tintabrel {

class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr);
    ~TImage() override;

    TPicture Picture;

    // Draw the picture scaled to the whole control instead of at its own size.
    bool Stretch() const { return stretch_; }
    void SetStretch(bool value);
    // Take the size of the picture whenever it changes (and is not empty).
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);

    std::function<void(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y)> OnMouseDown;
    // The pointer moved over the control (with or without a button held), and a button released.
    std::function<void(Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, int x, int y)> OnMouseMove;
    std::function<void(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y)> OnMouseUp;
    std::function<void()> OnDblClick;
    // A right click (or the menu key): where the menu goes, in screen coordinates.
    std::function<void(const QPoint& globalPos)> OnContextMenu;

    // Display only, the picture's pixels untouched: the transparency that goes with the picture
    // (8-bit, byte v meaning alpha 255 - v; empty: opaque), and whether pixels that are not fully
    // opaque are drawn over a checkerboard (otherwise every pixel is drawn opaque).
    void SetAlphaPlane(const TBitmap& alpha);
    bool Checkerboard() const { return checkerboard_; }
    void SetCheckerboard(bool value);
    // Drawn over the picture, one overlay pixel per picture pixel (null: none).
    void SetOverlay(const QImage& overlay);
    const QImage& Overlay() const { return overlay_; }
    // A frame round these picture pixels, drawn over the picture and the overlay (null: none).
    void SetFrame(const QRect& pixels);
    const QRect& Frame() const { return frame_; }
    // The picture with its transparency (ARGB), when it has any and the checkerboard is on.
    const QImage& Composed() const { return composed_; }
    // The two shades of the checkerboard and the side of its squares in screen pixels.
    static QColor CheckerLight() { return QColor(0xFF, 0xFF, 0xFF); }
    static QColor CheckerDark() { return QColor(0xCC, 0xCC, 0xCC); }
    static constexpr int CheckerSquare = 8;

    // The picture as it is drawn, one pixel per picture pixel (null when the picture is empty).
    const QImage& Shown() const { return shown_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void PictureChanged();
    void Compose();

    QImage shown_;
    QImage alpha_; // Alpha8, picture size; null: opaque
    TBitmap alphaSource_; // the transparency alpha_ was made from (sharing its store)
    QImage composed_;
    QImage overlay_;
    QRect frame_;
    bool checkerboard_ = true;
    bool stretch_ = false;
    bool autoSize_ = false;
    bool changing_ = false;
};

// A copy of the bitmap for the screen (32-bit RGB); null for an empty picture.
QImage ImageOfBitmap(const TBitmap& bitmap);

} // namespace tintabrel
