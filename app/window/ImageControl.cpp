#include "app/window/ImageControl.h"

#include "base/ScopeGuard.h"

#include <QContextMenuEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>

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
    Compose();
    update();
}

void TImage::SetAlphaPlane(const TBitmap& alpha)
{
    // The same transparency as shown already (the panes show it again after every change).
    if (alpha.Image() == alphaSource_.Image() && !alpha.Empty() && !alpha_.isNull()) return;
    alphaSource_.Assign(alpha);
    alpha_ = QImage();
    const int width = alpha.Width(), height = alpha.Height();
    if (!alpha.Empty() && alpha.PixelFormat() == TPixelFormat::pf8bit && width > 0 && height > 0) {
        bool any = false;
        QImage plane(width, height, QImage::Format_Alpha8);
        for (int y = 0; y < height && !plane.isNull(); ++y) {
            const uint8_t* in = alpha.ConstScanLine(y);
            uchar* out = plane.scanLine(y);
            for (int x = 0; x < width; ++x) {
                out[x] = static_cast<uchar>(255 - in[x]);
                any = any || in[x] != 0;
            }
        }
        if (any) alpha_ = plane;
    }
    Compose();
    update();
}

void TImage::SetCheckerboard(bool value)
{
    checkerboard_ = value;
    Compose();
    update();
}

void TImage::SetOverlay(const QImage& overlay)
{
    overlay_ = overlay;
    update();
}

// The picture with its alpha, ready to be drawn over the checkerboard.
void TImage::Compose()
{
    composed_ = QImage();
    if (!checkerboard_ || alpha_.isNull() || shown_.isNull() || alpha_.size() != shown_.size()) return;
    composed_ = shown_.convertToFormat(QImage::Format_ARGB32);
    const int width = composed_.width(), height = composed_.height();
    for (int y = 0; y < height; ++y) {
        auto* px = reinterpret_cast<QRgb*>(composed_.scanLine(y));
        const uchar* a = alpha_.constScanLine(y);
        for (int x = 0; x < width; ++x) px[x] = (px[x] & 0x00FFFFFFu) | (QRgb(a[x]) << 24);
    }
}

void TImage::paintEvent(QPaintEvent* event)
{
    if (shown_.isNull()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.setClipRect(event->rect());
    // Without smoothing: nearest neighbour, whole blocks.
    const QRect target = stretch_ ? rect() : QRect(QPoint(0, 0), shown_.size());
    if (!composed_.isNull()) {
        // The squares stay the same on screen whatever the zoom.
        QPixmap tile(2 * CheckerSquare, 2 * CheckerSquare);
        tile.fill(CheckerLight());
        {
            QPainter squares(&tile);
            squares.fillRect(CheckerSquare, 0, CheckerSquare, CheckerSquare, CheckerDark());
            squares.fillRect(0, CheckerSquare, CheckerSquare, CheckerSquare, CheckerDark());
        }
        painter.fillRect(target, QBrush(tile));
        painter.drawImage(target, composed_);
    } else {
        painter.drawImage(target, shown_);
    }
    if (!overlay_.isNull() && overlay_.size() == shown_.size()) painter.drawImage(target, overlay_);
}

void TImage::contextMenuEvent(QContextMenuEvent* event)
{
    if (OnContextMenu) {
        OnContextMenu(event->globalPos());
        event->accept();
        return;
    }
    QWidget::contextMenuEvent(event);
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
    if (OnDblClick) {
        OnDblClick();
        // Handled here: the parent must not act on the same double click again.
        event->accept();
        return;
    }
    QWidget::mouseDoubleClickEvent(event);
}

} // namespace tintabrel
