// Renders the real window at its start-up size with a sample sprite loaded and recoloured into a
// PNG file, and optionally the window's open dialog over a folder of pictures into another, and
// the mask, the checkerboard, the live preview, the pane menu and the window maximised into a
// folder (mask.png, checkerboard.png, preview.png, pane-menu.png, screenshot-maximised.png).
// Usage: tintabrel_screenshot <folder with ColorList.dat and moto.bmp> <output.png> [<dialog.png> [<folder>]]
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

#include "app/window/Application.h"
#include "app/window/Controls.h"
#include "app/window/ImageControl.h"
#include "app/window/Unit_Main.h"
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

// The open dialog as the load button shows it, over a folder with a few pictures.
bool SaveOpenDialog(TfrmMain& window, const QString& folder, const QString& output)
{
    const QString moto = QString::fromStdString(window.ExeDir() + "moto.bmp");
    if (!QFile::copy(moto, folder + QStringLiteral("/moto.bmp")) ||
        !SampleSprite().save(folder + QStringLiteral("/HERO.PNG"), "PNG"))
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
    return fake->Messages.empty() ? 0 : 1;
}
