// The main window with animations (GIF, APNG): loading them, the frame control, the check, L, R,
// undo, the mask and the preview on every frame, picking from the frame shown, and saving as an
// animation or as the shown frame. The dialogs are answered by a fake.
#include <filesystem>
#include <functional>
#include <memory>

#include <QImage>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

#include "app/PictureChange.h"
#include "app/PictureFormats.h"
#include "app/PicturePipeline.h"
#include "app/window/Application.h"
#include "app/window/Controls.h"
#include "app/window/FrameBar.h"
#include "app/window/History.h"
#include "app/window/ImageControl.h"
#include "app/window/LiveView.h"
#include "app/window/Unit_Main.h"
#include "image/Animation.h"
#include "recolour/ColourMap.h"
#include "tests/TestData.h"
#include "tests/image/PicturePixels.h"
#include "tests/app/window/FakeDialogs.h"

using namespace tintabrel;
namespace fs = std::filesystem;

namespace {

using tintabrel::test::AlphaAt;
using tintabrel::test::Pixels;

using tintabrel::test::ReadFile;
using tintabrel::test::WriteFile;

QString Q(const std::string& s) { return QString::fromStdString(s); }
TColor Rgb(int r, int g, int b) { return MakeColor(uint8_t(r), uint8_t(g), uint8_t(b)); }

// A folder standing in for the executable's folder.
struct ExeDir {
    QTemporaryDir dir;
    std::string Path() const { return dir.path().toStdString() + "/"; }
    std::string File(const std::string& name) const { return Path() + name; }

    explicit ExeDir(const char* list = "clBlack\r\nclWhite\r\n")
    {
        WriteFile(File("ColorList.dat"), list);
        fs::copy_file(std::string(TINTABREL_DATA_DIR) + "/moto.bmp", File("moto.bmp"));
    }
};

// What a pane shows: its picture's colours, and their alpha as drawn over the checkerboard.
std::vector<int64_t> Shown(const TImage& pane)
{
    std::vector<int64_t> out;
    const TBitmap& bitmap = const_cast<TImage&>(pane).Picture.Bitmap();
    const QImage& composed = pane.Composed();
    for (int32_t y = 0; y < bitmap.Height(); ++y)
        for (int32_t x = 0; x < bitmap.Width(); ++x) {
            const int alpha = composed.isNull() ? 255 : qAlpha(composed.pixel(x, y));
            out.push_back(int64_t{bitmap.Pixel(x, y)} | int64_t{alpha} << 24);
        }
    return out;
}

// A palette frame: the table's colours, an index for each pixel; the transparent index (if any)
// clear.
TPictureData PaletteFrame(int w, int h, const std::vector<TColor>& table, const std::function<int(int, int)>& index,
                          int transparent = -1)
{
    TPictureData p;
    p.Image.SetPixelFormat(TPixelFormat::pf8bit);
    TPalette palette;
    for (TColor c : table) palette.Add(RedOf(c), GreenOf(c), BlueOf(c));
    p.Image.SetPalette(palette);
    p.Image.SetSize(w, h);
    if (transparent >= 0) {
        p.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        p.Alpha.SetSize(w, h);
        p.IndexAlpha.assign(size_t(transparent) + 1, 255);
        p.IndexAlpha[size_t(transparent)] = 0;
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int i = index(x, y);
            p.Image.ScanLine(y)[x] = uint8_t(i);
            if (transparent >= 0) p.Alpha.ScanLine(y)[x] = i == transparent ? 255 : 0;
        }
    p.PaletteBits = 8;
    return p;
}

struct TPx {
    int R, G, B, A;
};

TPictureData RgbaFrame(int w, int h, const std::function<TPx(int, int)>& pixel)
{
    TPictureData p;
    p.Image.SetPixelFormat(TPixelFormat::pf24bit);
    p.Image.SetSize(w, h);
    p.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    p.Alpha.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const TPx v = pixel(x, y);
            uint8_t* c = p.Image.ScanLine(y) + 3 * x;
            c[0] = uint8_t(v.B), c[1] = uint8_t(v.G), c[2] = uint8_t(v.R);
            p.Alpha.ScanLine(y)[x] = uint8_t(255 - v.A);
        }
    return p;
}

TFrame MakeFrame(TPictureData picture, int x, int y, uint16_t num, uint16_t den, TFrameDispose dispose,
                 TFrameBlend blend = TFrameBlend::Over)
{
    TFrame f;
    f.Picture = std::move(picture);
    f.X = x, f.Y = y, f.DelayNum = num, f.DelayDen = den, f.Dispose = dispose, f.Blend = blend;
    return f;
}

TPictureData Animated(int w, int h, std::vector<TFrame> frames, uint32_t plays)
{
    auto a = std::make_shared<TAnimation>();
    a->Width = w, a->Height = h, a->Plays = plays;
    a->Frames = std::move(frames);
    TPictureData p;
    p.Animation = std::move(a);
    ShowFirstFrame(p);
    return p;
}

const TColor Orange = Rgb(255, 128, 0), DarkRed = Rgb(128, 0, 0), Brick = Rgb(200, 100, 50);

// Four frames on a 6 x 4 screen, each with a table of its own: a full one, a partial one with a
// transparency index cleared after it shows, a partial one put back after it shows, and a full
// interlaced one; plays three times. Frame 0 is red at (0, 0), frame 3 green.
TPictureData GifSprite()
{
    std::vector<TFrame> frames;
    frames.push_back(MakeFrame(PaletteFrame(6, 4, {clRed, clLime, clBlue, clWhite, Brick, DarkRed},
                                            [](int x, int y) { return (x + y) % 6; }),
                               0, 0, 10, 100, TFrameDispose::None));
    frames.push_back(MakeFrame(PaletteFrame(3, 2, {Orange, clRed, clBlack},
                                            [](int x, int y) { return x == 1 && y == 0 ? 2 : (x + y) % 2; }, 2),
                               2, 1, 20, 100, TFrameDispose::Background));
    frames.push_back(MakeFrame(PaletteFrame(2, 2, {clBlue, DarkRed}, [](int x, int) { return x; }), 0, 2, 30, 100,
                               TFrameDispose::Previous));
    TFrame last = MakeFrame(PaletteFrame(6, 4, {clLime, clRed, Brick}, [](int x, int y) { return (x * y) % 3; }), 0, 0,
                            40, 100, TFrameDispose::None);
    last.Gif = TGifFrameFacts{};
    last.Gif->Interlaced = true;
    frames.push_back(std::move(last));
    return Animated(6, 4, std::move(frames), 3);
}

// Four RGBA frames on a 5 x 4 canvas with half-transparent pixels: a full one, a partial one drawn
// over and put back, a partial one replacing what is under it and cleared, a full opaque one;
// delays as fractions; plays for ever.
TPictureData ApngSprite()
{
    std::vector<TFrame> frames;
    frames.push_back(MakeFrame(RgbaFrame(5, 4,
                                         [](int x, int y) {
                                             const TPx row[] = {{255, 0, 0, 255}, {0, 255, 0, 255}, {255, 128, 0, 128},
                                                                {0, 0, 255, 0}, {200, 100, 50, 255}};
                                             return row[(x + y) % 5];
                                         }),
                               0, 0, 1, 25, TFrameDispose::None, TFrameBlend::Source));
    frames.push_back(MakeFrame(RgbaFrame(2, 2,
                                         [](int x, int y) {
                                             return (x + y) % 2 ? TPx{255, 0, 0, 128} : TPx{0, 255, 0, 255};
                                         }),
                               1, 1, 3, 100, TFrameDispose::Previous, TFrameBlend::Over));
    frames.push_back(MakeFrame(RgbaFrame(3, 1,
                                         [](int x, int) {
                                             const TPx row[] = {{200, 100, 50, 255}, {0, 0, 0, 0}, {255, 0, 255, 200}};
                                             return row[x];
                                         }),
                               2, 3, 7, 50, TFrameDispose::Background, TFrameBlend::Source));
    frames.push_back(MakeFrame(RgbaFrame(5, 4,
                                         [](int x, int y) {
                                             return x == 0 && y == 0 ? TPx{0, 255, 0, 255}
                                                                     : TPx{128, 0, 0, 255 - 10 * x};
                                         }),
                               0, 0, 1, 10, TFrameDispose::None, TFrameBlend::Source));
    return Animated(5, 4, std::move(frames), 0);
}

// The animation as the file holds it, read by the program's own loading (not the window's).
TPictureData ReadBack(const std::string& path)
{
    TPictureData p;
    LoadPicture(path, KindOfExtension(ExtractExtension(path), false), p);
    return p;
}

// The marks the mask should show for one frame: what the change does to the frame alone, placed
// at its rectangle on the canvas.
QImage ExpectedMask(const TPictureData& animated, size_t index, const TProtectedColors& list, const THueWindow& window)
{
    const TAnimation& a = *animated.Animation;
    const TFrame& frame = a.Frames[index];
    TPictureData changed, free;
    ApplyChange(frame.Picture, changed, list, window);
    ApplyChange(frame.Picture, free, TProtectedColors(), window, true);
    QImage mask(a.Width, a.Height, QImage::Format_ARGB32);
    mask.fill(Qt::transparent);
    for (int y = 0; y < frame.Picture.Image.Height(); ++y)
        for (int x = 0; x < frame.Picture.Image.Width(); ++x) {
            const TColor was = frame.Picture.Image.Pixel(x, y);
            if (changed.Image.Pixel(x, y) != was)
                mask.setPixel(frame.X + x, frame.Y + y, MaskChanged);
            else if (free.Image.Pixel(x, y) != was)
                mask.setPixel(frame.X + x, frame.Y + y, MaskKept);
        }
    return mask;
}

} // namespace

class AnimationTest : public QObject {
    Q_OBJECT

    FakeDialogs* dialogs = nullptr;
    QTemporaryDir settingsDir;

    void Load(TfrmMain& w, const std::string& path)
    {
        dialogs->OpenAnswers.push_back(path);
        w.btnLoad->click();
    }
    void Save(TfrmMain& w, const std::string& path, int filter = 0)
    {
        if (filter > 0) dialogs->SaveFilters.push_back(filter);
        dialogs->SaveAnswers.push_back(path);
        w.btnSave->click();
    }
    // Writes the sample animation of the row: GIF, or APNG under .png or .apng.
    static std::string WriteSample(const ExeDir& dir, const QString& kind)
    {
        const bool gif = kind == QStringLiteral("gif");
        const std::string path = dir.File(gif ? "walk.gif" : kind == QStringLiteral("apng") ? "walk.apng" : "walk.png");
        SavePicture(path, gif ? GifFormat() : PngFormat(), gif ? GifSprite() : ApngSprite());
        return path;
    }
    // Both panes show frame k of their pictures, as a viewer composes it.
    static void ExpectPanesShow(TfrmMain& w, size_t k)
    {
        QCOMPARE(w.ShownFrame(), k);
        QCOMPARE(w.FrameBar->Index(), int(k));
        QCOMPARE(Q(w.FrameBar->lblFrame->Caption()),
                 QStringLiteral("%1 / %2").arg(k + 1).arg(w.bmpBefore->Animation->Frames.size()));
        QCOMPARE(Shown(*w.imgBefore), Pixels(ComposeFrame(*w.bmpBefore->Animation, k)));
        QCOMPARE(Shown(*w.imgAfter), Pixels(ComposeFrame(*w.bmpAfter->Animation, k)));
    }
    static void SetSliders(TfrmMain& w, int source, int tolerance, int target)
    {
        w.tbWidth->setValue(source);
        w.tbHose->setValue(tolerance);
        w.tb->setValue(target);
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(settingsDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        InitApplication();
    }

    void init()
    {
        auto fake = std::make_unique<FakeDialogs>();
        dialogs = fake.get();
        SetDialogs(std::move(fake));
    }

    void cleanup()
    {
        SetDialogs(nullptr);
        dialogs = nullptr;
    }

    // ---------------------------------------------------------------- loading and stepping

    // A GIF and an APNG (named .png or .apng) load by the load button, by a drop and by the
    // command line; the frame control shows, and its slider, buttons and keys step both panes
    // through the frames as a viewer composes them, round from the last to the first.
    void loadsAndSteps_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("route");
        QTest::newRow("gif, button") << "gif" << "button";
        QTest::newRow("gif, drop") << "gif" << "drop";
        QTest::newRow("png, drop") << "png" << "drop";
        QTest::newRow("apng, open with") << "apng" << "argument";
    }
    void loadsAndSteps()
    {
        QFETCH(QString, kind);
        QFETCH(QString, route);
        ExeDir dir;
        TfrmMain w(dir.Path());
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        const std::string path = WriteSample(dir, kind);
        QVERIFY(w.FrameBar->isHidden());
        if (route == QStringLiteral("button")) {
            Load(w, path);
        } else if (route == QStringLiteral("drop")) {
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(Q(path))});
            QCOMPARE(Q(TfrmMain::DroppablePicture(&data)), Q(path));
            QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&w, &enter);
            QVERIFY(enter.isAccepted());
            QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&w, &drop);
        } else {
            w.OpenArguments({QStringLiteral("Tintabrel"), Q(path)});
        }
        QTRY_VERIFY(w.bmpBefore->Animated());
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(!w.FrameBar->isHidden());
        QCOMPARE(Q(w.FrameBar->lblCaption->Caption()), QStringLiteral("コマ"));

        // The window holds the file's animation.
        const TPictureData file = ReadBack(path);
        const TAnimation& a = *w.bmpBefore->Animation;
        QCOMPARE(a.Frames.size(), file.Animation->Frames.size());
        QCOMPARE(w.FrameBar->Count(), 4);
        for (size_t k = 0; k < a.Frames.size(); ++k)
            QCOMPARE(Pixels(a.Frames[k].Picture), Pixels(file.Animation->Frames[k].Picture));
        // The frames differ as composed, so a pane showing another frame would be seen.
        for (size_t k = 1; k < a.Frames.size(); ++k)
            QVERIFY(Pixels(ComposeFrame(a, k)) != Pixels(ComposeFrame(a, k - 1)));
        ExpectPanesShow(w, 0);
        QCOMPARE(Q(w.FrameBar->lblDelay->Caption()), kind == QStringLiteral("gif") ? QStringLiteral("0.10秒")
                                                                                  : QStringLiteral("0.04秒"));

        w.FrameBar->btnNext->click();
        ExpectPanesShow(w, 1);
        QTest::keyClick(&w, Qt::Key_Period);
        ExpectPanesShow(w, 2);
        QCOMPARE(Q(w.FrameBar->lblDelay->Caption()), kind == QStringLiteral("gif") ? QStringLiteral("0.30秒")
                                                                                  : QStringLiteral("0.14秒"));
        w.FrameBar->tbFrame->setValue(3);
        ExpectPanesShow(w, 3);
        w.FrameBar->btnNext->click();
        ExpectPanesShow(w, 0);
        QTest::keyClick(&w, Qt::Key_Comma);
        ExpectPanesShow(w, 3);
        w.FrameBar->btnPrev->click();
        ExpectPanesShow(w, 2);
        // The zoom sizes the panes to the canvas.
        w.rgZoom->Button(2)->click();
        QCOMPARE(w.imgBefore->size(), QSize(a.Width, a.Height) * 3);
        ExpectPanesShow(w, 2);

        // A still picture: no frame control, the keys do nothing.
        QImage still(2, 1, QImage::Format_RGB32);
        still.fill(Qt::red);
        QVERIFY(still.save(Q(dir.File("still.png"))));
        Load(w, dir.File("still.png"));
        QVERIFY(w.FrameBar->isHidden());
        QCOMPARE(w.ShownFrame(), size_t(0));
        QTest::keyClick(&w, Qt::Key_Period);
        QCOMPARE(w.imgBefore->Picture.Bitmap().Pixel(0, 0), clRed);
        // Undo brings the animation back; a load starts at the first frame.
        w.Undo();
        QVERIFY(!w.FrameBar->isHidden());
        ExpectPanesShow(w, 0);
        w.FrameBar->tbFrame->setValue(3);
        Load(w, path);
        ExpectPanesShow(w, 0);
        QVERIFY(dialogs->Messages.empty());
    }

    void droppableNames()
    {
        for (const char* name : {"a.gif", "B.GIF", "c.apng", "d.APNG", "e.png", "f.bmp"}) {
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/") + QString::fromLatin1(name))});
            QVERIFY2(!TfrmMain::DroppablePicture(&data).empty(), name);
        }
        QMimeData text;
        text.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/g.txt"))});
        QVERIFY(TfrmMain::DroppablePicture(&text).empty());
        const QString entry = Q(ReadFile(std::string(TINTABREL_DATA_DIR) + "/tintabrel.desktop"));
        QVERIFY(entry.contains(QStringLiteral("image/gif")) && entry.contains(QStringLiteral("image/apng")));
    }

    // The frame control takes the panes' lowest pixels while an animation shows; every other
    // control stays at its design place, nothing overlaps; a still picture gives the room back,
    // and a grown window keeps the control under the panes.
    void frameBarTakesThePanesLowestRoom()
    {
        ExeDir dir;
        TfrmMain w(dir.Path());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const std::string path = WriteSample(dir, QStringLiteral("gif"));
        Load(w, path);
        const int room = TfrmMain::FrameBarRoom;
        QCOMPARE(w.sbBefore->geometry(), QRect(32, 40, 217, 241 - room));
        QCOMPARE(w.sbAfter->geometry(), QRect(336, 40, 217, 241 - room));
        const std::vector<std::pair<QWidget*, QRect>> fixed{
            {w.btnL, {256, 64, 75, 25}},  {w.gb, {8, 288, 297, 121}},    {w.btnR, {256, 200, 75, 25}},
            {w.btnLoad, {96, 8, 75, 25}}, {w.btnSave, {408, 8, 75, 25}}, {w.SB1, {312, 288, 245, 121}},
            {w.rgZoom, {256, 96, 73, 97}}};
        const auto check = [&] {
            const int grown = w.height() - 454;
            QCOMPARE(w.sbBefore->height(), 241 + grown - room);
            QCOMPARE(w.sbAfter->height(), 241 + grown - room);
            const QRect bar = w.FrameBar->geometry();
            QVERIFY(w.rect().contains(bar));
            QVERIFY(bar.top() > w.sbBefore->geometry().bottom());
            QCOMPARE(bar.left(), w.sbBefore->x());
            QCOMPARE(bar.right(), w.sbAfter->geometry().right());
            QVERIFY(bar.height() >= 20);
            for (QWidget* c : std::initializer_list<QWidget*>{w.sbBefore, w.sbAfter, w.btnL, w.rgZoom, w.btnR,
                                                               w.btnLoad, w.btnSave, w.gb, w.SB1, w.lbl})
                QVERIFY2(!c->geometry().intersects(bar), c->metaObject()->className());
            // The bar's own controls lie inside it, side by side.
            QWidget* parts[] = {w.FrameBar->lblCaption, w.FrameBar->btnPrev, w.FrameBar->tbFrame,
                                w.FrameBar->btnNext, w.FrameBar->lblFrame, w.FrameBar->lblDelay};
            for (size_t i = 0; i < std::size(parts); ++i) {
                QVERIFY(w.FrameBar->rect().contains(parts[i]->geometry()));
                QVERIFY(parts[i]->width() > 0);
                if (i > 0) QVERIFY(parts[i]->x() >= parts[i - 1]->geometry().right());
            }
        };
        for (const auto& [control, rect] : fixed)
            QVERIFY2(control->geometry() == rect, control->metaObject()->className());
        check();
        w.resize(900, 700);
        QTRY_COMPARE(w.size(), QSize(900, 700));
        check();
        QCOMPARE(w.gb->y() - w.sbBefore->geometry().bottom(), 288 - (40 + 241 - room) + 1);

        QImage still(2, 1, QImage::Format_RGB32);
        still.fill(Qt::red);
        QVERIFY(still.save(Q(dir.File("still.png"))));
        w.resize(562, 454);
        QTRY_COMPARE(w.size(), QSize(562, 454));
        Load(w, dir.File("still.png"));
        QVERIFY(w.FrameBar->isHidden());
        QCOMPARE(w.sbBefore->geometry(), QRect(32, 40, 217, 241));
        QCOMPARE(w.sbAfter->geometry(), QRect(336, 40, 217, 241));
    }

    // ---------------------------------------------------------------- the commands on every frame

    // The check changes every frame as the change of that frame alone would (a GIF's frames stay
    // palette pictures with their tables' sizes), keeps the timing and the ops; L, R, undo and
    // redo carry every frame; the panes show the chosen frame throughout.
    // The palette swap maps every frame as it stands in the file, as the check does; the mask
    // follows the frame shown.
    void paletteMapActsOnEveryFrame_data() { commandsActOnEveryFrame_data(); }
    void paletteMapActsOnEveryFrame()
    {
        QFETCH(QString, kind);
        ExeDir dir;
        TfrmMain w(dir.Path());
        const std::string path = WriteSample(dir, kind);
        Load(w, path);
        const TPictureData file = ReadBack(path);
        // The first colour of the first frame and the last colour of any frame.
        const std::vector<TPictureColour> colours = PictureColours(file);
        QVERIFY(colours.size() >= 2);
        const TColourMap map({colours.front().Colour, colours.back().Colour}, {Rgb(1, 2, 3), Rgb(4, 5, 6)});
        WriteFile(dir.File("from.hex"), HexOfColour(colours.front().Colour) + "\n" + HexOfColour(colours.back().Colour) + "\n");
        WriteFile(dir.File("to.hex"), "010203\n040506\n");
        w.FrameBar->tbFrame->setValue(1);
        dialogs->OpenAnswers = {dir.File("from.hex"), dir.File("to.hex")};
        w.actPaletteMap->trigger();
        QVERIFY(w.actPaletteMap->isChecked());
        QVERIFY(dialogs->Messages.empty());
        const TProtectedColors list(*w.ColorList);
        const TAnimation& before = *file.Animation;
        const TAnimation& after = *w.bmpAfter->Animation;
        QCOMPARE(after.Frames.size(), before.Frames.size());
        int changed = 0;
        for (size_t k = 0; k < before.Frames.size(); ++k) {
            TPictureData alone;
            alone.Assign(before.Frames[k].Picture);
            alone.Animation.reset();
            MapColoursInPlace(alone, map, list);
            QCOMPARE(Pixels(after.Frames[k].Picture), Pixels(alone));
            changed += Pixels(alone) != Pixels(before.Frames[k].Picture);
        }
        QVERIFY(changed > 0);
        ExpectPanesShow(w, 1);
        // The mask marks, on the frame shown, the pixels the map changes there.
        w.actMask->setChecked(true);
        const TFrame& frame = before.Frames[1];
        int marked = 0;
        for (int32_t y = 0; y < frame.Picture.Image.Height(); ++y)
            for (int32_t x = 0; x < frame.Picture.Image.Width(); ++x) {
                const bool mapped = after.Frames[1].Picture.Image.Pixel(x, y) != frame.Picture.Image.Pixel(x, y);
                QCOMPARE(w.imgBefore->Overlay().pixel(frame.X + x, frame.Y + y) == MaskChanged, mapped);
                marked += mapped;
            }
        QVERIFY(marked > 0);
        w.Undo();
        for (size_t k = 0; k < before.Frames.size(); ++k)
            QCOMPARE(Pixels(w.bmpAfter->Animation->Frames[k].Picture), Pixels(before.Frames[k].Picture));
    }

    void commandsActOnEveryFrame_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("gif") << "gif";
        QTest::newRow("apng") << "apng";
    }
    void commandsActOnEveryFrame()
    {
        QFETCH(QString, kind);
        ExeDir dir;
        TfrmMain w(dir.Path());
        const std::string path = WriteSample(dir, kind);
        Load(w, path);
        const TPictureData file = ReadBack(path);
        w.FrameBar->tbFrame->setValue(2);
        SetSliders(w, 235, 18, 130);
        const uint64_t runs = PipelineRunsForTesting();
        w.btnCheck->click();
        QVERIFY(PipelineRunsForTesting() > runs);
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(w.windowTitle().startsWith(QStringLiteral("*")));
        const TProtectedColors list(*w.ColorList);
        const THueWindow first = w.LastWindow;
        const TAnimation& before = *file.Animation;
        const auto expectChecked = [&](const TPictureData& picture) {
            const TAnimation& after = *picture.Animation;
            QCOMPARE(after.Frames.size(), before.Frames.size());
            QCOMPARE(after.Plays, before.Plays);
            int changed = 0;
            for (size_t k = 0; k < before.Frames.size(); ++k) {
                const TFrame &was = before.Frames[k], &now = after.Frames[k];
                TPictureData alone;
                ApplyChange(was.Picture, alone, list, first);
                QCOMPARE(Pixels(now.Picture), Pixels(alone));
                changed += Pixels(now.Picture) != Pixels(was.Picture);
                QCOMPARE(now.Picture.Image.PixelFormat(), was.Picture.Image.PixelFormat());
                QCOMPARE(now.Picture.PaletteBits, was.Picture.PaletteBits);
                QCOMPARE(std::tuple(now.X, now.Y, now.DelayNum, now.DelayDen, int(now.Dispose), int(now.Blend)),
                         std::tuple(was.X, was.Y, was.DelayNum, was.DelayDen, int(was.Dispose), int(was.Blend)));
            }
            QCOMPARE(changed, int(before.Frames.size())); // every frame has red in it
        };
        expectChecked(*w.bmpAfter);
        for (size_t k = 0; k < before.Frames.size(); ++k)
            QCOMPARE(Pixels(w.bmpBefore->Animation->Frames[k].Picture), Pixels(before.Frames[k].Picture));
        ExpectPanesShow(w, 2);

        // «: the result becomes the source, every frame of it.
        w.btnL->click();
        expectChecked(*w.bmpBefore);
        ExpectPanesShow(w, 2);
        // A second check on the result changes what the first one made.
        SetSliders(w, 115, 18, 240);
        w.btnCheck->click();
        for (size_t k = 0; k < before.Frames.size(); ++k) {
            TPictureData alone;
            ApplyChange(w.bmpBefore->Animation->Frames[k].Picture, alone, list, w.LastWindow);
            QCOMPARE(Pixels(w.bmpAfter->Animation->Frames[k].Picture), Pixels(alone));
        }
        // »: the after picture goes back to the source.
        w.FrameBar->tbFrame->setValue(1);
        w.btnR->click();
        for (size_t k = 0; k < before.Frames.size(); ++k)
            QCOMPARE(Pixels(w.bmpAfter->Animation->Frames[k].Picture), Pixels(w.bmpBefore->Animation->Frames[k].Picture));
        ExpectPanesShow(w, 1);

        // Undo: », the second check, «, the first check, in turn; redo forward again.
        w.Undo();
        w.Undo();
        expectChecked(*w.bmpBefore);
        w.Undo();
        expectChecked(*w.bmpAfter);
        for (size_t k = 0; k < before.Frames.size(); ++k)
            QCOMPARE(Pixels(w.bmpBefore->Animation->Frames[k].Picture), Pixels(before.Frames[k].Picture));
        ExpectPanesShow(w, 1);
        w.Undo();
        for (size_t k = 0; k < before.Frames.size(); ++k)
            QCOMPARE(Pixels(w.bmpAfter->Animation->Frames[k].Picture), Pixels(before.Frames[k].Picture));
        QVERIFY(!w.windowTitle().startsWith(QStringLiteral("*")));
        w.Redo();
        expectChecked(*w.bmpAfter);
        ExpectPanesShow(w, 1);
        QVERIFY(dialogs->Messages.empty());
    }

    // A click on the before pane picks the source hue from the frame shown.
    void picksFromTheFrameShown()
    {
        ExeDir dir;
        TfrmMain w(dir.Path());
        w.show();
        Load(w, WriteSample(dir, QStringLiteral("gif")));
        w.rgZoom->Button(1)->click();
        QTest::mouseClick(w.imgBefore, Qt::LeftButton, {}, QPoint(1, 1));
        QCOMPARE(w.tbWidth->value(), 235); // red
        w.FrameBar->tbFrame->setValue(3);
        QTest::mouseClick(w.imgBefore, Qt::LeftButton, {}, QPoint(1, 1));
        QCOMPARE(w.tbWidth->value(), 115); // green
    }

    // ---------------------------------------------------------------- mask and preview

    // The mask marks what the settings change in the chosen frame (kept pixels of the protected
    // list apart), at the frame's place, and follows the frame chosen; the preview is the check's
    // result for every frame and shows the chosen one. The same off the interface thread.
    void maskAndPreviewOnTheChosenFrame_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("offThread");
        QTest::newRow("gif") << "gif" << false;
        QTest::newRow("apng") << "apng" << false;
        QTest::newRow("gif, off the thread") << "gif" << true;
    }
    void maskAndPreviewOnTheChosenFrame()
    {
        QFETCH(QString, kind);
        QFETCH(bool, offThread);
        ExeDir dir("clRed\r\n");
        TfrmMain w(dir.Path());
        if (offThread) w.LiveSyncPixels = 0;
        Load(w, WriteSample(dir, kind));
        SetSliders(w, 235, 36, 130);
        const TProtectedColors list(*w.ColorList);
        const TPictureData& before = *w.bmpBefore;
        w.actMask->setChecked(true);
        int changed = 0, kept = 0;
        for (const size_t k : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(1)}) {
            w.FrameBar->tbFrame->setValue(int(k));
            QTRY_VERIFY(!w.LiveBusy());
            const QImage expected = ExpectedMask(before, k, list, w.CurrentWindow());
            QCOMPARE(w.imgBefore->Overlay(), expected);
            // Each frame's marks are its own.
            if (k > 0) QVERIFY(expected != ExpectedMask(before, k - 1, list, w.CurrentWindow()));
            for (int y = 0; y < expected.height(); ++y)
                for (int x = 0; x < expected.width(); ++x) {
                    changed += expected.pixel(x, y) == MaskChanged;
                    kept += expected.pixel(x, y) == MaskKept; // red is on the list
                }
        }
        QVERIFY(changed > 0 && kept > 0);
        // A slider moved: the marks of the frame shown follow.
        w.tbWidth->setValue(215);
        QTRY_VERIFY(!w.LiveBusy());
        QCOMPARE(w.imgBefore->Overlay(), ExpectedMask(before, 1, list, w.CurrentWindow()));
        QVERIFY(!offThread || w.AsyncLiveRuns > 0);

        w.actMask->setChecked(false);
        QVERIFY(w.imgBefore->Overlay().isNull());
        w.actPreview->setChecked(true);
        w.tb->setValue(200);
        QTRY_VERIFY(!w.LiveBusy());
        QTRY_COMPARE(w.LastWindow.Target, 200);
        for (size_t k = 0; k < before.Animation->Frames.size(); ++k) {
            TPictureData alone;
            ApplyChange(before.Animation->Frames[k].Picture, alone, list, w.CurrentWindow());
            QCOMPARE(Pixels(w.bmpAfter->Animation->Frames[k].Picture), Pixels(alone));
        }
        ExpectPanesShow(w, 1);
        w.FrameBar->btnNext->click();
        ExpectPanesShow(w, 2);
        // The check gives what the preview showed.
        TPictureData previewed;
        previewed.Assign(*w.bmpAfter);
        w.btnCheck->click();
        for (size_t k = 0; k < before.Animation->Frames.size(); ++k)
            QCOMPARE(Pixels(w.bmpAfter->Animation->Frames[k].Picture), Pixels(previewed.Animation->Frames[k].Picture));
        QVERIFY(dialogs->Messages.empty());
    }

    // A selection lies on the canvas: each frame changes where its rectangle meets it, the mask
    // marks only there.
    void selectionOnTheCanvas()
    {
        ExeDir dir;
        TfrmMain w(dir.Path());
        Load(w, WriteSample(dir, QStringLiteral("gif")));
        SetSliders(w, 235, 36, 130);
        const TRegionRect rect{1, 1, 3, 2};
        w.SetSelection(rect);
        w.FrameBar->tbFrame->setValue(1);
        w.actMask->setChecked(true);
        const QImage mask = w.imgBefore->Overlay();
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x)
                if (qAlpha(mask.pixel(x, y)) != 0) QVERIFY(x >= 1 && x < 4 && y >= 1 && y < 3);
        QVERIFY(mask.pixel(2, 2) == MaskChanged); // the frame's red at (0, 1) of it
        w.btnCheck->click();
        QCOMPARE(w.LastSelection, std::optional<TRegionRect>(rect));
        const TProtectedColors list(*w.ColorList);
        const TAnimation& a = *w.bmpBefore->Animation;
        for (size_t k = 0; k < a.Frames.size(); ++k) {
            const TFrame& f = a.Frames[k];
            TPictureData alone;
            ApplyChange(f.Picture, alone, list, w.LastWindow, false, nullptr, 1,
                        *TChangeRegion{rect, nullptr}.PartAt(f.X, f.Y, f.Picture.Image.Width(), f.Picture.Image.Height()));
            QCOMPARE(Pixels(w.bmpAfter->Animation->Frames[k].Picture), Pixels(alone));
        }
    }

    // ---------------------------------------------------------------- saving

    // The save dialog offers the animation's own format under its name; GIF, the animated-PNG
    // filter and a .apng name keep every frame with its timing, ops and the loop count; PNG and
    // BMP write the frame shown and say so, and the animation counts as unsaved.
    void savesTheAnimationOrTheFrameShown_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("filter");   // 0: the one offered
        QTest::addColumn<bool>("animated"); // written as an animation
        QTest::newRow("gif as offered") << "gif" << "" << 0 << true;
        QTest::newRow("gif to apng") << "gif" << "out.png" << 4 << true;
        QTest::newRow("gif to .apng") << "gif" << "out.apng" << 1 << true;
        QTest::newRow("gif to png") << "gif" << "out.png" << 1 << false;
        QTest::newRow("gif to png, all files") << "gif" << "out.png" << 5 << false;
        QTest::newRow("gif to bmp") << "gif" << "out.bmp" << 2 << false;
        QTest::newRow("apng as offered") << "png" << "" << 0 << true;
        QTest::newRow("apng named .apng as offered") << "apng" << "" << 0 << true;
        QTest::newRow("apng to png") << "png" << "out.png" << 1 << false;
        QTest::newRow("apng to bmp") << "apng" << "out.bmp" << 2 << false;
    }
    void savesTheAnimationOrTheFrameShown()
    {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(int, filter);
        QFETCH(bool, animated);
        ExeDir dir;
        TfrmMain w(dir.Path());
        const std::string path = WriteSample(dir, kind);
        Load(w, path);
        w.FrameBar->tbFrame->setValue(2);
        SetSliders(w, 235, 18, 130);
        w.btnCheck->click();
        const TAnimation& after = *w.bmpAfter->Animation;

        // Offered: the loaded file's name with the hue, in the animation's format.
        const bool gif = kind == QStringLiteral("gif");
        const std::string offered = dir.File(std::string("walk_130") + (gif ? ".gif" : kind == "apng" ? ".apng" : ".png"));
        const std::string target = name.isEmpty() ? offered : dir.File(name.toStdString());
        Save(w, target, filter);
        QCOMPARE(Q(dialogs->SaveSuggestions.back()), Q(offered));
        QCOMPARE(dialogs->SaveFiltersOffered.back(), gif ? TfrmMain::SaveFilterGif : TfrmMain::SaveFilterApng);
        QVERIFY(fs::exists(target));
        const TPictureData written = ReadBack(target);
        if (animated) {
            QVERIFY(dialogs->Messages.empty());
            QVERIFY(written.Animated());
            const TAnimation& back = *written.Animation;
            QCOMPARE(back.Frames.size(), after.Frames.size());
            QCOMPARE(back.Plays, after.Plays);
            for (size_t k = 0; k < after.Frames.size(); ++k) {
                const TFrame &was = after.Frames[k], &now = back.Frames[k];
                QCOMPARE(Pixels(now.Picture), Pixels(was.Picture));
                QCOMPARE(std::tuple(now.X, now.Y, int(now.Dispose)), std::tuple(was.X, was.Y, int(was.Dispose)));
                QCOMPARE(double(now.DelayNum) / (now.DelayDen ? now.DelayDen : 100),
                         double(was.DelayNum) / (was.DelayDen ? was.DelayDen : 100));
            }
            QVERIFY(!w.windowTitle().startsWith(QStringLiteral("*")));
            if (target.ends_with(".gif")) QCOMPARE(ReadFile(target).substr(0, 6), std::string("GIF89a"));
        } else {
            QVERIFY(!written.Animated());
            const TPictureData shown = ComposeFrame(after, 2);
            const bool bmp = target.ends_with(".bmp");
            if (bmp) {
                for (int y = 0; y < shown.Image.Height(); ++y)
                    for (int x = 0; x < shown.Image.Width(); ++x) QCOMPARE(written.Image.Pixel(x, y), shown.Image.Pixel(x, y));
            } else {
                QCOMPARE(Pixels(written), Pixels(shown));
                QVERIFY(ReadFile(target).find("acTL") == std::string::npos);
            }
            QCOMPARE(dialogs->Messages.size(), size_t(1));
            std::string note = std::string(bmp ? "BMP形式" : "PNG形式(静止画)") +
                               "ではコマを1つしか保存できないため、表示中のコマ(3 / 4)を保存しました。"
                               "すべてのコマを保存するには、GIFかｱﾆﾒｰｼｮﾝPNGで保存してください";
            if (bmp && shown.HasAlpha()) note += "\nBMP形式では透明度を保存できないため、透明な部分は不透明になりました";
            QCOMPARE(Q(dialogs->Messages[0].Text), Q(note));
            QVERIFY(dialogs->Messages[0].Icon == TMsgIcon::None);
            // Only a frame of the animation is saved: closing still asks.
            QVERIFY(w.Unsaved());
        }

        // A still picture afterwards is offered as before: PNG, the filter chosen for stills.
        QImage still(2, 1, QImage::Format_RGB32);
        still.fill(Qt::red);
        QVERIFY(still.save(Q(dir.File("still.png"))));
        Load(w, dir.File("still.png"));
        Save(w, dir.File("still_out.png"));
        QCOMPARE(dialogs->SaveFiltersOffered.back(), 1);
        QCOMPARE(Q(dialogs->SaveSuggestions.back()), Q(dir.File("still_130.png")));
        QVERIFY(!ReadBack(dir.File("still_out.png")).Animated());
    }

    // A GIF of one frame (every GIF loads as an animation) shows no frame control and saves as
    // PNG without a note; it is offered as a GIF.
    void singleFrameGif()
    {
        ExeDir dir;
        TfrmMain w(dir.Path());
        TPictureData one = PaletteFrame(3, 2, {clRed, clBlue}, [](int x, int) { return x % 2; });
        SavePicture(dir.File("one.gif"), GifFormat(), one);
        Load(w, dir.File("one.gif"));
        QVERIFY(w.bmpBefore->Animated());
        QVERIFY(w.FrameBar->isHidden());
        QCOMPARE(w.sbBefore->height(), 241);
        QCOMPARE(Shown(*w.imgBefore), Pixels(one));
        SetSliders(w, 235, 18, 130);
        w.btnCheck->click();
        Save(w, dir.File("one.png"), 1);
        QCOMPARE(dialogs->SaveFiltersOffered.back(), TfrmMain::SaveFilterGif);
        QCOMPARE(Q(dialogs->SaveSuggestions.back()), Q(dir.File("one_130.gif")));
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(!w.Unsaved());
        QCOMPARE(Pixels(ReadBack(dir.File("one.png"))), Pixels(ComposeFrame(*w.bmpAfter->Animation, 0)));

        // Back to it from the last frame of a longer animation: its one frame shows, and its marks.
        Load(w, WriteSample(dir, QStringLiteral("gif")));
        w.FrameBar->tbFrame->setValue(3);
        w.Undo();
        QCOMPARE(w.bmpBefore->Animation->Frames.size(), size_t(1));
        QVERIFY(w.FrameBar->isHidden());
        QCOMPARE(w.ShownFrame(), size_t(0));
        w.actMask->setChecked(true);
        const QImage marks = ExpectedMask(*w.bmpBefore, 0, TProtectedColors(*w.ColorList), w.CurrentWindow());
        QVERIFY(marks.pixel(0, 0) == MaskChanged);
        QCOMPARE(w.imgBefore->Overlay(), marks);
    }

    // GIF holds palette pictures only: an animation of RGBA frames is refused by the GIF writer,
    // its words behind the window's, and nothing is written.
    void gifRefusesTrueColour()
    {
        ExeDir dir;
        TfrmMain w(dir.Path());
        Load(w, WriteSample(dir, QStringLiteral("png")));
        Save(w, dir.File("out.gif"));
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        const QString text = Q(dialogs->Messages[0].Text);
        QVERIFY2(text.startsWith(QStringLiteral("GIF形式では保存できません。GIFに保存できるのは256色までのﾊﾟﾚｯﾄの絵だけです")),
                 qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("GIF: frame 1 is not a palette picture")), qPrintable(text));
        QVERIFY(dialogs->Messages[0].Icon == TMsgIcon::Error);
        QVERIFY(!fs::exists(dir.File("out.gif")));
        QVERIFY(w.windowTitle().startsWith(QStringLiteral("walk.png")));
    }

    // ---------------------------------------------------------------- history

    // The history counts an animation's frames, and a step whose frames changed is a change.
    void historyCountsFrames()
    {
        const TPictureData sprite = GifSprite();
        auto state = std::make_unique<TWindowState>();
        state->Before.Assign(sprite);
        state->After.Assign(sprite);
        size_t frames = 0;
        for (const TFrame& f : sprite.Animation->Frames) frames += size_t(f.Picture.Image.Image()->ImageBytes());
        TUndoHistory history(size_t(1) << 30);
        auto same = std::make_unique<TWindowState>();
        same->Before.Assign(state->Before);
        same->After.Assign(state->After);
        QVERIFY(SamePictures(*state, *same));
        // One frame's pixels changed, the still picture not.
        same->After.Animation->Frames[2].Picture.Image.ScanLine(0)[0] ^= 1;
        QVERIFY(!SamePictures(*state, *same));
        // The same still pictures without their frames weigh less by the frames' bytes at least.
        auto still = std::make_unique<TWindowState>();
        still->Before.Assign(state->Before);
        still->After.Assign(state->After);
        still->Before.Animation.reset();
        still->After.Animation.reset();
        TUndoHistory stillHistory(size_t(1) << 30);
        stillHistory.Push(std::move(still));
        history.Push(std::move(state));
        QVERIFY(frames > 0);
        QVERIFY(history.Bytes() >= stillHistory.Bytes() + frames);
    }
};

QTEST_MAIN(AnimationTest)
#include "AnimationTest.moc"
