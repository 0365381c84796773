// Renders the real window at its start-up size with a sample sprite loaded and recoloured into a
// PNG file, and optionally the window's open dialog over a folder of pictures into another, and
// the mask, the checkerboard, the live preview, the pane menu, the window maximised and the window
// with an animated GIF into a folder (mask.png, checkerboard.png, preview.png, pane-menu.png,
// screenshot-maximised.png, animation.png).
// Usage: tintabrel_screenshot <folder with ColorList.dat and moto.bmp> <output.png> [<dialog.png> [<folder>]]
#include <algorithm>
#include <cstdio>

#include <QDeadlineTimer>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QPainter>
#include <QPushButton>
#include <QMenu>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>

#include "app/PictureChange.h"
#include "app/PictureFormats.h"
#include "app/window/Application.h"
#include "app/window/Controls.h"
#include "app/window/FrameBar.h"
#include "app/window/ImageControl.h"
#include "app/window/Unit_Main.h"
#include "image/Animation.h"
#include "tests/app/window/FakeDialogs.h"

using namespace tintabrel;

namespace {

// A small character: hair, face, a red tunic, blue trousers, on a transparent background whose
// stored colour is a light grey (greys are never recoloured).
QImage SampleSprite()
{
    QImage sprite(32, 48, QImage::Format_ARGB32);
    sprite.fill(QColor(220, 220, 220, 0));
    QPainter p(&sprite);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 50, 20));
    p.drawRect(9, 2, 14, 6);
    p.setBrush(QColor(250, 210, 170));
    p.drawRect(10, 6, 12, 11);
    p.setBrush(QColor(30, 30, 30));
    p.drawRect(13, 10, 2, 2);
    p.drawRect(18, 10, 2, 2);
    p.setBrush(QColor(200, 30, 40));
    p.drawRect(7, 17, 18, 14);
    p.setBrush(QColor(150, 20, 30));
    p.drawRect(7, 17, 18, 2);
    p.drawRect(4, 19, 3, 10);
    p.drawRect(25, 19, 3, 10);
    p.setBrush(QColor(240, 200, 60));
    p.drawRect(7, 28, 18, 2);
    p.setBrush(QColor(40, 60, 150));
    p.drawRect(9, 31, 6, 12);
    p.drawRect(17, 31, 6, 12);
    // A half-transparent shadow under the feet.
    p.setBrush(QColor(0, 0, 0, 90));
    p.drawRect(5, 45, 22, 3);
    p.setBrush(QColor(60, 40, 30));
    p.drawRect(8, 43, 7, 3);
    p.drawRect(17, 43, 7, 3);
    return sprite;
}

// The sprite walking: four steps, the legs and arms swinging, the shadow opaque (GIF has only
// clear and opaque pixels).
QImage WalkStep(int step)
{
    QImage sprite(32, 48, QImage::Format_ARGB32);
    sprite.fill(Qt::transparent);
    QPainter p(&sprite);
    p.setPen(Qt::NoPen);
    const int swing[4] = {-2, 0, 2, 0};
    const int lift[4] = {0, 1, 0, 1};
    const int s = swing[step];
    p.setBrush(QColor(70, 70, 70));
    p.drawRect(7, 46, 18, 2);
    p.setBrush(QColor(40, 60, 150));
    p.drawRect(9 + s, 31, 6, 12 - lift[step]);
    p.drawRect(17 - s, 31, 6, 12);
    p.setBrush(QColor(60, 40, 30));
    p.drawRect(8 + s, 43 - lift[step], 7, 3);
    p.drawRect(17 - s, 43, 7, 3);
    const int y = lift[step];
    p.setBrush(QColor(90, 50, 20));
    p.drawRect(9, 2 - y, 14, 6);
    p.setBrush(QColor(250, 210, 170));
    p.drawRect(10, 6 - y, 12, 11);
    p.setBrush(QColor(30, 30, 30));
    p.drawRect(13, 10 - y, 2, 2);
    p.drawRect(18, 10 - y, 2, 2);
    p.setBrush(QColor(200, 30, 40));
    p.drawRect(7, 17 - y, 18, 14);
    p.setBrush(QColor(150, 20, 30));
    p.drawRect(7, 17 - y, 18, 2);
    p.drawRect(4, 19 - y - s, 3, 10);
    p.drawRect(25, 19 - y + s, 3, 10);
    p.setBrush(QColor(240, 200, 60));
    p.drawRect(7, 28 - y, 18, 2);
    return sprite;
}

// An image of few colours as a palette picture, its clear pixels on a transparency index.
TPictureData PaletteOf(const QImage& image)
{
    const auto colourOf = [&image](int x, int y) {
        return qAlpha(image.pixel(x, y)) == 0 ? QRgb(0) : image.pixel(x, y) | 0xFF000000u;
    };
    std::vector<QRgb> colours{0}; // index 0: clear
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (std::find(colours.begin(), colours.end(), colourOf(x, y)) == colours.end())
                colours.push_back(colourOf(x, y));
    TPalette palette;
    for (QRgb c : colours) palette.Add(uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c)));
    TPictureData picture;
    picture.Image.SetPixelFormat(TPixelFormat::pf8bit);
    picture.Image.SetPalette(palette);
    picture.Image.SetSize(image.width(), image.height());
    picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    picture.Alpha.SetSize(image.width(), image.height());
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = colourOf(x, y);
            picture.Image.ScanLine(y)[x] = uint8_t(std::find(colours.begin(), colours.end(), c) - colours.begin());
            picture.Alpha.ScanLine(y)[x] = c == 0 ? 255 : 0;
        }
    picture.PaletteBits = 8;
    picture.IndexAlpha = {0};
    return picture;
}

bool SaveWalkGif(const std::string& path)
{
    auto animation = std::make_shared<TAnimation>();
    animation->Width = 32;
    animation->Height = 48;
    for (int step = 0; step < 4; ++step) {
        TFrame frame;
        frame.Picture = PaletteOf(WalkStep(step));
        frame.DelayNum = 15;
        frame.DelayDen = 100;
        frame.Dispose = TFrameDispose::Background;
        animation->Frames.push_back(std::move(frame));
    }
    TPictureData walk;
    walk.Animation = std::move(animation);
    ShowFirstFrame(walk);
    SavePicture(path, GifFormat(), walk);
    return true;
}

// The open dialog as the load button shows it, over a folder with a few pictures.
bool SaveOpenDialog(TfrmMain& window, const QString& folder, const QString& output)
{
    const QString moto = QString::fromStdString(window.ExeDir() + "moto.bmp");
    if (!QFile::copy(moto, folder + QStringLiteral("/moto.bmp")) ||
        !SampleSprite().save(folder + QStringLiteral("/HERO.PNG"), "PNG") ||
        !SaveWalkGif((folder + QStringLiteral("/walk.gif")).toStdString()))
        return false;
    QFileDialog box(&window);
    TFileDialog settings = window.od;
    settings.FileName = (folder + QStringLiteral("/sprite.png")).toStdString();
    SetupFileDialog(box, settings, false);
    box.show();
    // The folder is listed in the background; give it a moment.
    const QDeadlineTimer deadline(1000);
    while (!deadline.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 50);
    return box.grab().toImage().save(output);
}

bool Grab(TfrmMain& window, const QString& path)
{
    QApplication::processEvents();
    return window.grab().toImage().save(path);
}

// The features that show before the check is pressed, each in its own picture.
bool SaveFeatureShots(TfrmMain& window, const QString& folder)
{
    // The checkerboard under the transparent background and the half-transparent shadow, at x5.
    window.btnR->click();
    window.rgZoom->Button(4)->click();
    if (!Grab(window, folder + QStringLiteral("/checkerboard.png"))) return false;
    // The mask of the red tunic: what the check would change, and the protected colours it keeps.
    window.rgZoom->Button(3)->click();
    window.actMask->setChecked(true);
    window.tbWidth->setValue(235);
    window.tbHose->setValue(18);
    if (!Grab(window, folder + QStringLiteral("/mask.png"))) return false;
    window.actMask->setChecked(false);
    // The live preview: the after pane follows the target slider without a check.
    window.actPreview->setChecked(true);
    window.tb->setValue(200);
    if (!Grab(window, folder + QStringLiteral("/preview.png"))) return false;
    window.actPreview->setChecked(false);
    // The pane menu, open over the before pane: a grab of the screen, since the menu is a window
    // of its own.
    window.PaneMenu->popup(window.imgBefore->mapToGlobal(QPoint(40, 60)));
    const QDeadlineTimer shown(300);
    while (!shown.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 50);
    QScreen* screen = window.screen();
    if (!screen) return false;
    const QRect area = window.frameGeometry().united(window.PaneMenu->geometry());
    const bool menu = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                          .save(folder + QStringLiteral("/pane-menu.png"));
    window.PaneMenu->hide();
    if (!menu) return false;

    // Maximised, with the sprite fitted to the larger panes. Without a window manager the
    // request to maximise is not carried out: the window then takes the screen's free area.
    window.tbWidth->setValue(235);
    window.tb->setValue(130);
    window.btnCheck->click();
    window.showMaximized();
    const QDeadlineTimer maximised(500);
    while (!maximised.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 50);
    if (window.size() != screen->availableGeometry().size()) window.setGeometry(screen->availableGeometry());
    const QDeadlineTimer placed(300);
    while (!placed.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 50);
    window.actFit->setChecked(true);
    return Grab(window, folder + QStringLiteral("/screenshot-maximised.png"));
}

// The window at its start-up size with the walking GIF loaded, its tunic recoloured, the third
// frame chosen.
bool SaveAnimationShot(const std::string& exeFolder, FakeDialogs& fake, const QString& work, const QString& output)
{
    const std::string gif = (work + QStringLiteral("/walk.gif")).toStdString();
    if (!SaveWalkGif(gif)) return false;
    TfrmMain window(exeFolder);
    window.ShowCentred();
    QApplication::processEvents();
    window.rgZoom->Button(3)->click();
    fake.OpenAnswers.push_back(gif);
    window.btnLoad->click();
    window.tbWidth->setValue(235);
    window.tb->setValue(130);
    window.btnCheck->click();
    window.FrameBar->tbFrame->setValue(2);
    return Grab(window, output);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: %s <program folder> <output.png> [<dialog.png> [<folder>]]\n", argv[0]);
        return 2;
    }
    TApplication app(argc, argv);
    InitApplication();
    auto dialogs = std::make_unique<FakeDialogs>();
    FakeDialogs* fake = dialogs.get();
    SetDialogs(std::move(dialogs));

    QTemporaryDir work;
    // The pictures show the start-up size, whatever size the user's own window was closed at.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, work.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, work.path());
    const QString spritePath = work.path() + QStringLiteral("/sprite.png");
    if (!SampleSprite().save(spritePath)) return 1;

    std::string folder = argv[1];
    if (folder.empty() || folder.back() != '/') folder += '/';
    TfrmMain window(folder);
    window.ShowCentred();
    QApplication::processEvents();

    window.rgZoom->Button(3)->click();
    fake->OpenAnswers.push_back(spritePath.toStdString());
    window.btnLoad->click();
    window.tbWidth->setValue(235); // as the picker sets it for the red tunic
    window.tb->setValue(130);
    window.btnCheck->click();
    QApplication::processEvents();

    for (const auto& m : fake->Messages) std::fprintf(stderr, "message: %s\n", m.Text.c_str());
    if (!window.grab().toImage().save(QString::fromLocal8Bit(argv[2]))) return 1;
    if (argc >= 4 && !SaveOpenDialog(window, work.path(), QString::fromLocal8Bit(argv[3]))) return 1;
    if (argc == 5 && !SaveFeatureShots(window, QString::fromLocal8Bit(argv[4]))) return 1;
    if (argc == 5 && !SaveAnimationShot(folder, *fake, work.path(), QString::fromLocal8Bit(argv[4]) + QStringLiteral("/animation.png")))
        return 1;
    return fake->Messages.empty() ? 0 : 1;
}
