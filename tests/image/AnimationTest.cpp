// The compositor: blend ops with partial alpha, every dispose op (previous on the first frame too),
// rectangles at and past the canvas edge, and frames of palette pictures; every frame composed in
// one pass as each is alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/Animation.h"

namespace tintabrel {
namespace {

struct TPx {
    uint8_t R, G, B, A;
    friend bool operator==(const TPx&, const TPx&) = default;
};

std::ostream& operator<<(std::ostream& out, const TPx& p)
{
    return out << '(' << int{p.R} << ',' << int{p.G} << ',' << int{p.B} << ',' << int{p.A} << ')';
}

constexpr TPx Clear{0, 0, 0, 0};
constexpr TPx Red{255, 0, 0, 255};
constexpr TPx Blue{0, 0, 255, 255};
constexpr TPx Green{0, 255, 0, 255};

// A frame of w x 1 pixels at x, y, all of one colour.
struct TFrameShape {
    int32_t W, X, Y;
    TPx P;
    TFrameDispose Dispose = TFrameDispose::None;
    TFrameBlend Blend = TFrameBlend::Source;
};
TFrameShape Frame(int32_t w, int32_t x, int32_t y, TPx p, TFrameDispose dispose = TFrameDispose::None,
            TFrameBlend blend = TFrameBlend::Source)
{
    return {w, x, y, p, dispose, blend};
}

TFrame Make(const TFrameShape& s)
{
    const int32_t w = s.W, x = s.X, y = s.Y;
    const TPx p = s.P;
    TFrame f;
    f.Picture.Image.SetPixelFormat(TPixelFormat::pf24bit);
    f.Picture.Image.SetSize(w, 1);
    f.Picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    f.Picture.Alpha.SetSize(w, 1);
    for (int32_t i = 0; i < w; ++i) {
        uint8_t* c = f.Picture.Image.ScanLine(0) + 3 * i;
        c[0] = p.B, c[1] = p.G, c[2] = p.R;
        f.Picture.Alpha.ScanLine(0)[i] = static_cast<uint8_t>(255 - p.A);
    }
    f.X = x;
    f.Y = y;
    f.Dispose = s.Dispose;
    f.Blend = s.Blend;
    return f;
}

std::vector<TPx> Row(const TPictureData& canvas, int32_t y)
{
    std::vector<TPx> out;
    const bool alpha = AlphaPlaneFits(canvas.Image, canvas.Alpha);
    for (int32_t x = 0; x < canvas.Image.Width(); ++x) {
        const uint8_t* c = canvas.Image.ConstScanLine(y) + 3 * x;
        out.push_back({c[2], c[1], c[0], static_cast<uint8_t>(alpha ? 255 - canvas.Alpha.ConstScanLine(y)[x] : 255)});
    }
    return out;
}

TEST(ComposeFrame, BlendAndDisposeOps)
{
    using D = TFrameDispose;
    using B = TFrameBlend;
    const struct {
        const char* Name;
        std::vector<TFrameShape> Frames; // on a 3 x 1 canvas; the last one is shown
        std::vector<TPx> Expected;
    } cases[] = {
        {"source replaces, partial alpha kept", {Frame(3, 0, 0, Red), Frame(1, 1, 0, {0, 0, 255, 128})}, {Red, {0, 0, 255, 128}, Red}},
        {"over on opaque", {Frame(3, 0, 0, Blue), Frame(1, 1, 0, {255, 0, 0, 128}, D::None, B::Over)}, {Blue, {128, 0, 127, 255}, Blue}},
        {"over on partial", {Frame(1, 0, 0, {0, 0, 255, 128}), Frame(1, 0, 0, {255, 0, 0, 128}, D::None, B::Over)},
         {{170, 0, 85, 192}, Clear, Clear}},
        {"over with nothing", {Frame(3, 0, 0, Green), Frame(2, 1, 0, {9, 9, 9, 0}, D::None, B::Over)}, {Green, Green, Green}},
        {"over on cleared", {Frame(2, 1, 0, {200, 100, 50, 77}, D::None, B::Over)}, {Clear, {200, 100, 50, 77}, {200, 100, 50, 77}}},
        {"dispose none keeps", {Frame(3, 0, 0, Red), Frame(1, 0, 0, Blue), Frame(1, 2, 0, Green)}, {Blue, Red, Green}},
        {"dispose background clears", {Frame(3, 0, 0, Red), Frame(2, 0, 0, Blue, D::Background), Frame(1, 2, 0, Green)},
         {Clear, Clear, Green}},
        {"dispose previous restores", {Frame(3, 0, 0, Red), Frame(2, 1, 0, Blue, D::Previous), Frame(1, 0, 0, Green)},
         {Green, Red, Red}},
        {"previous after previous", {Frame(3, 0, 0, Red), Frame(1, 0, 0, Blue, D::Previous), Frame(1, 1, 0, Green, D::Previous),
                                     Frame(1, 2, 0, Blue, D::None, B::Over)},
         {Red, Red, Blue}},
        {"previous on the first frame clears", {Frame(2, 0, 0, Red, D::Previous), Frame(1, 2, 0, Green)}, {Clear, Clear, Green}},
        {"the shown frame's dispose is not applied", {Frame(3, 0, 0, Red, D::Background)}, {Red, Red, Red}},
        {"right edge", {Frame(3, 0, 0, Red), Frame(3, 2, 0, Blue)}, {Red, Red, Blue}},
        {"left of the canvas", {Frame(3, 0, 0, Red), Frame(2, -1, 0, Blue)}, {Blue, Red, Red}},
        {"left of the canvas, cleared", {Frame(3, 0, 0, Red), Frame(2, -1, 0, Blue, D::Background), Frame(1, 2, 0, Green)},
         {Clear, Red, Green}},
        {"wholly outside", {Frame(3, 0, 0, Red), Frame(2, 5, 0, Blue), Frame(1, 0, 3, Blue)}, {Red, Red, Red}},
    };
    for (const auto& c : cases) {
        TAnimation animation;
        animation.Width = 3;
        animation.Height = 1;
        for (const TFrameShape& f : c.Frames) animation.Frames.push_back(Make(f));
        const TPictureData shown = ComposeFrame(animation, animation.Frames.size() - 1);
        ASSERT_EQ(shown.Image.Width(), 3) << c.Name;
        EXPECT_EQ(Row(shown, 0), c.Expected) << c.Name;
        // Composed in one pass, each frame's canvas is the one ComposeFrame gives it alone.
        size_t calls = 0;
        ComposeFrames(animation, [&](size_t i, TPictureData& canvas) {
            EXPECT_EQ(i, calls++) << c.Name;
            EXPECT_EQ(Row(canvas, 0), Row(ComposeFrame(animation, i), 0)) << c.Name << ", frame " << i;
        });
        EXPECT_EQ(calls, animation.Frames.size()) << c.Name;
    }
}

TEST(ComposeFrame, EarlierFramesAndBottomEdge)
{
    TAnimation animation;
    animation.Width = 2;
    animation.Height = 2;
    animation.Frames.push_back(Make(Frame(2, 0, 1, Red, TFrameDispose::Previous)));
    animation.Frames.push_back(Make(Frame(2, 0, 0, Blue)));
    // Shown alone, frame 0 lies on the bottom row; the top row was never drawn.
    const TPictureData first = ComposeFrame(animation, 0);
    EXPECT_EQ(Row(first, 0), (std::vector<TPx>{Clear, Clear}));
    EXPECT_EQ(Row(first, 1), (std::vector<TPx>{Red, Red}));
    const TPictureData second = ComposeFrame(animation, 1);
    EXPECT_EQ(Row(second, 0), (std::vector<TPx>{Blue, Blue}));
    EXPECT_EQ(Row(second, 1), (std::vector<TPx>{Clear, Clear}));
    EXPECT_THROW(ComposeFrame(animation, 2), std::out_of_range);

    // Fully opaque canvas: no alpha plane.
    animation.Frames[1] = Make(Frame(2, 0, 0, Blue));
    animation.Frames.push_back(Make(Frame(2, 0, 1, Green)));
    EXPECT_TRUE(ComposeFrame(animation, 2).Alpha.Empty());
}

TEST(ComposeFrame, PaletteFramesDrawTheirColours)
{
    TAnimation animation;
    animation.Width = 2;
    animation.Height = 1;
    TFrame f;
    f.Picture.Image.SetPixelFormat(TPixelFormat::pf8bit);
    TPalette palette;
    palette.Add(10, 20, 30);
    palette.Add(200, 100, 0);
    f.Picture.Image.SetPalette(palette);
    f.Picture.Image.SetSize(2, 1);
    f.Picture.Image.ScanLine(0)[0] = 1;
    f.Picture.Image.ScanLine(0)[1] = 0;
    animation.Frames.push_back(std::move(f));
    EXPECT_EQ(Row(ComposeFrame(animation, 0), 0), (std::vector<TPx>{{200, 100, 0, 255}, {10, 20, 30, 255}}));
}

} // namespace
} // namespace tintabrel
