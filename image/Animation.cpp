#include "image/Animation.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace tintabrel {

namespace {

struct TRgba {
    uint8_t R = 0, G = 0, B = 0, A = 0;
};

// The frame's pixels as straight (not premultiplied) RGBA, row by row.
std::vector<TRgba> FramePixelsRgba(const TPictureData& picture)
{
    const int32_t w = picture.Image.Width(), h = picture.Image.Height();
    std::vector<TRgba> out(static_cast<size_t>(w) * static_cast<size_t>(std::max(h, 0)));
    TBitmap full;
    full.Assign(picture.Image);
    if (full.PixelFormat() != TPixelFormat::pf24bit) full.SetPixelFormat(TPixelFormat::pf24bit);
    const bool alpha = AlphaPlaneFits(picture.Image, picture.Alpha);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = full.ConstScanLine(y);
        const uint8_t* a = alpha ? picture.Alpha.ConstScanLine(y) : nullptr;
        for (int32_t x = 0; x < w; ++x) {
            TRgba& p = out[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)];
            p.B = row[3 * x];
            p.G = row[3 * x + 1];
            p.R = row[3 * x + 2];
            p.A = a ? static_cast<uint8_t>(255 - a[x]) : 255;
        }
    }
    return out;
}

uint8_t Round8(double v) { return static_cast<uint8_t>(std::clamp(std::nearbyint(v), 0.0, 255.0)); }

// Straight-alpha "over": the frame's pixel drawn on what the canvas holds.
TRgba Over(const TRgba& src, const TRgba& dst)
{
    if (src.A == 255 || dst.A == 0) return src;
    if (src.A == 0) return dst;
    const double sa = src.A / 255.0, da = dst.A / 255.0;
    const double oa = sa + da * (1 - sa);
    auto mix = [&](uint8_t s, uint8_t d) { return Round8((s * sa + d * da * (1 - sa)) / oa); };
    return {mix(src.R, dst.R), mix(src.G, dst.G), mix(src.B, dst.B), Round8(oa * 255)};
}

} // namespace

int64_t TAnimationLimits::FramePixels() const { return MaxFramePixels > 0 ? MaxFramePixels : MaxPicturePixels(); }

int64_t TAnimation::FramePixels() const
{
    int64_t total = 0;
    for (const TFrame& frame : Frames) total += int64_t{frame.Picture.Image.Width()} * frame.Picture.Image.Height();
    return total;
}

namespace {

// The canvas drawn frame by frame: each frame drawn once, then disposed of before the next.
class TComposer {
public:
    explicit TComposer(const TAnimation& animation)
        : animation_(animation), w_(std::max(animation.Width, 0)), h_(std::max(animation.Height, 0)),
          canvas_(static_cast<size_t>(w_) * static_cast<size_t>(h_))
    {
    }

    // Draws frame i (the frames before it drawn and disposed of in turn); keepPrevious: the
    // canvas before it is kept for its disposal (not needed after the last frame wanted).
    void Draw(size_t i, bool keepPrevious)
    {
        const TFrame& frame = animation_.Frames[i];
        const int32_t fw = frame.Picture.Image.Width();
        Box(frame);
        // The first frame's "previous" is the cleared canvas.
        if (frame.Dispose == TFrameDispose::Previous && i > 0 && keepPrevious) saved_ = canvas_;
        const std::vector<TRgba> pixels = FramePixelsRgba(frame.Picture);
        for (int32_t y = y0_; y < y1_; ++y)
            for (int32_t x = x0_; x < x1_; ++x) {
                const TRgba& src = pixels[static_cast<size_t>(y - frame.Y) * static_cast<size_t>(fw) +
                                          static_cast<size_t>(x - frame.X)];
                TRgba& dst = canvas_[static_cast<size_t>(y) * static_cast<size_t>(w_) + static_cast<size_t>(x)];
                dst = frame.Blend == TFrameBlend::Source ? src : Over(src, dst);
            }
    }

    // What frame i leaves once shown, before the next is drawn.
    void Dispose(size_t i)
    {
        const TFrame& frame = animation_.Frames[i];
        Box(frame);
        if (frame.Dispose == TFrameDispose::Background || (frame.Dispose == TFrameDispose::Previous && i == 0)) {
            for (int32_t y = y0_; y < y1_; ++y)
                for (int32_t x = x0_; x < x1_; ++x)
                    canvas_[static_cast<size_t>(y) * static_cast<size_t>(w_) + static_cast<size_t>(x)] = {};
        } else if (frame.Dispose == TFrameDispose::Previous) {
            canvas_.swap(saved_);
        }
    }

    // The canvas as a picture: 24-bit colour, with an alpha plane when any pixel is not opaque.
    TPictureData Picture() const
    {
        TPictureData out;
        out.Image.SetPixelFormat(TPixelFormat::pf24bit);
        out.Image.SetSize(w_, h_);
        bool anyClear = false;
        for (const TRgba& p : canvas_) anyClear |= p.A != 255;
        if (anyClear) {
            out.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
            out.Alpha.SetSize(w_, h_);
        }
        for (int32_t y = 0; y < h_; ++y) {
            uint8_t* row = out.Image.ScanLine(y);
            uint8_t* a = anyClear ? out.Alpha.ScanLine(y) : nullptr;
            for (int32_t x = 0; x < w_; ++x) {
                const TRgba& p = canvas_[static_cast<size_t>(y) * static_cast<size_t>(w_) + static_cast<size_t>(x)];
                row[3 * x] = p.B;
                row[3 * x + 1] = p.G;
                row[3 * x + 2] = p.R;
                if (a) a[x] = static_cast<uint8_t>(255 - p.A);
            }
        }
        return out;
    }

private:
    // Only the part of the frame's rectangle on the canvas is drawn.
    void Box(const TFrame& frame)
    {
        const int32_t fw = frame.Picture.Image.Width(), fh = frame.Picture.Image.Height();
        x0_ = std::clamp(frame.X, 0, w_);
        y0_ = std::clamp(frame.Y, 0, h_);
        x1_ = static_cast<int32_t>(std::clamp<int64_t>(int64_t{frame.X} + fw, 0, w_));
        y1_ = static_cast<int32_t>(std::clamp<int64_t>(int64_t{frame.Y} + fh, 0, h_));
    }

    const TAnimation& animation_;
    int32_t w_, h_;
    std::vector<TRgba> canvas_, saved_;
    int32_t x0_ = 0, y0_ = 0, x1_ = 0, y1_ = 0;
};

} // namespace

TPictureData ComposeFrame(const TAnimation& animation, size_t index)
{
    if (index >= animation.Frames.size()) throw std::out_of_range("ComposeFrame: no such frame");
    TComposer composer(animation);
    for (size_t i = 0; i < index; ++i) {
        composer.Draw(i, true);
        composer.Dispose(i);
    }
    composer.Draw(index, false);
    return composer.Picture();
}

void ComposeFrames(const TAnimation& animation, const std::function<void(size_t, TPictureData&)>& show)
{
    TComposer composer(animation);
    for (size_t i = 0; i < animation.Frames.size(); ++i) {
        const bool last = i + 1 == animation.Frames.size();
        composer.Draw(i, !last);
        TPictureData canvas = composer.Picture();
        show(i, canvas);
        if (!last) composer.Dispose(i);
    }
}

} // namespace tintabrel
