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
    std::function<void()> OnDblClick;

    // The picture as it is drawn, one pixel per picture pixel (null when the picture is empty).
    const QImage& Shown() const { return shown_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void PictureChanged();

    QImage shown_;
    bool stretch_ = false;
    bool autoSize_ = false;
    bool changing_ = false;
};

// A copy of the bitmap for the screen (32-bit RGB); null for an empty picture.
QImage ImageOfBitmap(const TBitmap& bitmap);

} // namespace tintabrel
