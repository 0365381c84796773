#include "app/window/ImageControl.h"

#include "base/ScopeGuard.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

namespace tintabrel {

QImage ImageOfBitmap(const TBitmap& bitmap)
{
    const int width = bitmap.Width();
    const int height = bitmap.Height();
    if (bitmap.Empty() || width <= 0 || height <= 0) return {};
    // Every pixel format reads the same way once it is 24-bit; the copy shares the store when
    // the picture is 24-bit already.
    TBitmap rgb;
    rgb.Assign(bitmap);
    rgb.SetPixelFormat(TPixelFormat::pf24bit);
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull()) return {};
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = rgb.ConstScanLine(y);
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x, in += 3) out[x] = qRgb(in[2], in[1], in[0]);
    }
    return image;
}

TImage::TImage(QWidget* parent) : QWidget(parent)
{
    Picture.OnChange = [this](TPicture&) { PictureChanged(); };
}

TImage::~TImage() { Picture.OnChange = nullptr; }

void TImage::SetStretch(bool value)
{
    stretch_ = value;
    update();
}

void TImage::SetAutoSize(bool value)
{
    autoSize_ = value;
    if (autoSize_ && Picture.Width() > 0 && Picture.Height() > 0) resize(Picture.Width(), Picture.Height());
}

void TImage::PictureChanged()
{
    // Switching transparency off below is itself a change; it is handled by this run.
    if (changing_) return;
    changing_ = true;
    const TScopeGuard done([this] { changing_ = false; });

    TGraphic* graphic = Picture.Graphic();
    // Pictures in this control are always drawn opaque.
    if (graphic && graphic->Transparent()) graphic->SetTransparent(false);
    if (autoSize_ && graphic && !graphic->Empty()) resize(graphic->Width(), graphic->Height());

    if (!graphic || graphic->Empty()) {
        shown_ = QImage();
    } else if (auto* bitmap = dynamic_cast<TBitmap*>(graphic)) {
        shown_ = ImageOfBitmap(*bitmap);
    } else {
        TBitmap copy;
        copy.Assign(graphic);
        shown_ = ImageOfBitmap(copy);
    }
    update();
}

void TImage::paintEvent(QPaintEvent* event)
{
    if (shown_.isNull()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.setClipRect(event->rect());
    if (stretch_)
        painter.drawImage(rect(), shown_); // without smoothing: nearest neighbour, whole blocks
    else
        painter.drawImage(0, 0, shown_);
}

void TImage::mousePressEvent(QMouseEvent* event)
{
    if (OnMouseDown) {
        const QPoint p = event->position().toPoint();
        OnMouseDown(event->button(), event->modifiers(), p.x(), p.y());
    }
    QWidget::mousePressEvent(event);
}

void TImage::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (OnDblClick) OnDblClick();
    QWidget::mouseDoubleClickEvent(event);
}

} // namespace tintabrel
