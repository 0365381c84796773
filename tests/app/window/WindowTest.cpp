// The main window driven as the user drives it, with the dialogs answered by a fake.
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/resource.h>

#include <QComboBox>
#include <QFontDatabase>
#include <QMessageBox>
#include <QProxyStyle>
#include <QSettings>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QStyleOptionSlider>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QTimer>
#include <QToolTip>
#include <QContextMenuEvent>
#include <QMenu>
#include <QProgressBar>
#include <QTreeView>
#include <QAction>
#include <QActionGroup>
#include <QImage>
#include <QMimeData>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

#include "app/window/Application.h"
#include "app/window/Controls.h"
#include "app/window/ImageControl.h"
#include "app/window/LiveView.h"
#include "app/window/Unit_Main.h"
#include "app/PictureChange.h"
#include "app/PictureFormats.h"
#include "app/PicturePipeline.h"
#include "png/VRQPNG.h"
#include "recolour/HueReplace.h"
#include "tests/TestData.h"
#include "tests/app/window/FakeDialogs.h"

using namespace tintabrel;
namespace fs = std::filesystem;

namespace {

const char* const DefaultList = "clBlack\r\nclWhite\r\n$00C8D7F5\r\n$0093B4E6\r\n$00242424\r\n";

using tintabrel::test::ReadFile;
using tintabrel::test::WriteFile;

// A folder standing in for the executable's folder.
struct ExeDir {
    QTemporaryDir dir;
    std::string Path() const { return dir.path().toStdString() + "/"; }
    std::string File(const std::string& name) const { return Path() + name; }

    explicit ExeDir(const char* list = DefaultList, bool moto = true)
    {
        if (list) WriteFile(File("ColorList.dat"), list);
        if (moto) fs::copy_file(std::string(TINTABREL_DATA_DIR) + "/moto.bmp", File("moto.bmp"));
    }
};

QImage MakeImage(int w, int h, const std::vector<QRgb>& pixels, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(w, h, format);
    for (int i = 0; i < w * h; ++i) image.setPixel(i % w, i / w, pixels[static_cast<size_t>(i)]);
    return image;
}

TColor Rgb(int r, int g, int b) { return MakeColor(uint8_t(r), uint8_t(g), uint8_t(b)); }
TColor ColorOf(QRgb c) { return Rgb(qRed(c), qGreen(c), qBlue(c)); }

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A 4-bit BMP (16-colour table, bottom-up rows) of the given size holding only its first
// rowsPresent rows of pixel data: colour index 1 (red) everywhere.
std::string FourBitBmp(int width, int height, int rowsPresent)
{
    const int stride = ((width * 4 + 31) / 32) * 4;
    std::string b;
    auto put16 = [&](uint32_t v) { b += char(v & 0xff); b += char((v >> 8) & 0xff); };
    auto put32 = [&](uint32_t v) { put16(v & 0xffff); put16(v >> 16); };
    const uint32_t offset = 14 + 40 + 64;
    b += "BM";
    put32(offset + uint32_t(stride) * uint32_t(height));
    put32(0);
    put32(offset);
    put32(40);
    put32(uint32_t(width));
    put32(uint32_t(height));
    put16(1);
    put16(4);
    put32(0);
    put32(0);
    put32(0);
    put32(0);
    put32(16);
    put32(0);
    for (int k = 0; k < 16; ++k) put32(k == 1 ? 0x00ff0000u : 0u); // index 1: red
    for (int y = 0; y < rowsPresent; ++y) b += std::string(size_t(stride), char(0x11));
    return b;
}

// True when the PNG file's header says colour type 3 (palette) and it has a tRNS chunk.
bool IsPalettePngWithTrns(const std::string& bytes)
{
    return bytes.size() > 26 && bytes[25] == 3 && bytes.find("tRNS") != std::string::npos;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

    FakeDialogs* dialogs = nullptr;
    QTemporaryDir settingsDir;

    static QSettings Settings()
    {
        return QSettings(QString::fromLatin1(TfrmMain::SettingsOrganization),
                         QString::fromLatin1(TfrmMain::SettingsApplication));
    }

    std::unique_ptr<TfrmMain> Open(const ExeDir& dir)
    {
        auto window = std::make_unique<TfrmMain>(dir.Path());
        return window;
    }

    // Loads a picture through the load button.
    void Load(TfrmMain& w, const std::string& path)
    {
        dialogs->OpenAnswers.push_back(path);
        w.btnLoad->click();
    }
    void Save(TfrmMain& w, const std::string& path)
    {
        dialogs->SaveAnswers.push_back(path);
        w.btnSave->click();
    }
    static void SelectZoom(TfrmMain& w, int index) { w.rgZoom->Button(index)->click(); }

private slots:
    void initTestCase()
    {
        // The window remembers its size: never in the user's own settings.
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
        Settings().clear();
    }

    void cleanup()
    {
        SetDialogs(nullptr);
        dialogs = nullptr;
    }

    // ---------------------------------------------------------------- start-up

    void startWithList()
    {
        ExeDir dir;
        auto w = Open(dir);
        QVERIFY(dialogs->Messages.empty());
        QCOMPARE(w->windowTitle(), QStringLiteral("Tintabrel"));
        // The design size is the start-up size and the smallest; the window may grow.
        QCOMPARE(w->size(), QSize(562, 454));
        QCOMPARE(w->minimumSize(), QSize(562, 454));
        QVERIFY(w->maximumSize().width() > 562 && w->maximumSize().height() > 454);
        QVERIFY(w->windowFlags() & Qt::WindowMaximizeButtonHint);
        QVERIFY(w->windowFlags() & Qt::WindowMinimizeButtonHint);

        QCOMPARE(w->ColorList->Count(), 5);
        QCOMPARE(Q(w->Label2->Caption()), QStringLiteral("変えた\r後の色"));
        QCOMPARE(w->Label2->text(), QStringLiteral("変えた\n後の色"));
        QCOMPARE(Q(w->Label3->Caption()), QStringLiteral("誤差\r補正値"));
        QCOMPARE(Q(w->lblHose->Caption()), QStringLiteral("18"));
        QCOMPARE(w->pnWidth->Color(), Rgb(85, 0, 255));
        QVERIFY(w->sbBefore->SmoothScrolling());
        QVERIFY(w->sbAfter->SmoothScrolling());

        // The credit names the zlib actually linked, in three lines.
        const std::string credit = w->lbl->Caption();
        QVERIFY(credit.find(std::string("ZLIB ver ") + zlibVersion()) != std::string::npos);
        QCOMPARE(std::count(credit.begin(), credit.end(), '\r'), 2);

        // The swatch grid: 225 x 25, first cell black inside a button-face frame.
        const TBitmap& grid = w->imgColor->Picture.Bitmap();
        QCOMPARE(grid.Width(), 225);
        QCOMPARE(grid.Height(), 25);
        QCOMPARE(w->imgColor->size(), QSize(225, 25));
        QCOMPARE(grid.Pixel(12, 12), clBlack);
        QCOMPARE(grid.Pixel(0, 0), ResolveColor(clBtnFace));
        QCOMPARE(grid.Pixel(25 * 2 + 12, 12), static_cast<TColor>(0x00C8D7F5));

        QCOMPARE(w->imgBefore->size(), QSize(128, 192));
        QVERIFY(w->bmpBefore->Image.Empty());
        QCOMPARE(w->rgZoom->ItemIndex(), 0);
        QCOMPARE(w->tbWidth->value(), 0);
        QCOMPARE(w->tb->value(), 0);
        QCOMPARE(w->tbHose->value(), 18);

        w->close();
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(!w->bmpBefore && !w->bmpAfter && !w->ColorList);
    }

    void startWithoutList()
    {
        ExeDir dir(nullptr);
        auto w = Open(dir);
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), Q("ファイル " + dir.File("ColorList.dat") + " は開けません."));
        QCOMPARE(Q(dialogs->Messages[0].Caption), QStringLiteral("Tintabrel"));
        QVERIFY(dialogs->Messages[0].Icon == TMsgIcon::Error);
        QCOMPARE(w->ColorList->Count(), 0);
        QVERIFY(w->imgColor->Picture.Bitmap().Empty());
        QCOMPARE(Q(w->lbl->Caption()), QStringLiteral("lbl"));
        QCOMPARE(Q(w->Label2->Caption()), QStringLiteral("変化色"));
        QCOMPARE(Q(w->Label3->Caption()), QStringLiteral("誤差補正値"));
        QCOMPARE(Q(w->lblHose->Caption()), QStringLiteral("0"));
        QCOMPARE(w->pnWidth->Color(), clRed);
        QVERIFY(!w->sbBefore->SmoothScrolling());
        // The window still works: the tolerance readout follows its slider.
        w->tbHose->setValue(4);
        QCOMPARE(Q(w->lblHose->Caption()), QStringLiteral("4"));
    }

    void startWithBadLine()
    {
        ExeDir dir("clRed\r\n clRed\r\n");
        auto w = Open(dir);
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), QStringLiteral("' clRed' は整数ではありません."));
        QCOMPARE(w->ColorList->Count(), 2);
        QVERIFY(w->imgColor->Picture.Bitmap().Empty());
        QCOMPARE(Q(w->lbl->Caption()), QStringLiteral("lbl"));
    }

    void startWithoutMoto()
    {
        ExeDir dir(DefaultList, false);
        auto w = Open(dir);
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), Q("ファイル " + dir.File("moto.bmp") + " は開けません."));
        QCOMPARE(w->ColorList->Count(), 5);
        QVERIFY(w->imgColor->Picture.Bitmap().Empty());
        QCOMPARE(Q(w->Label2->Caption()), QStringLiteral("変化色"));
        QCOMPARE(w->pnWidth->Color(), clRed);
    }

    void startWithEmptyList()
    {
        ExeDir dir("");
        auto w = Open(dir);
        QVERIFY(dialogs->Messages.empty());
        QCOMPARE(w->imgColor->Picture.Bitmap().Width(), 225);
        QCOMPARE(w->imgColor->Picture.Bitmap().Height(), 25);
    }

    void defaultHandlerAppendsFullStop_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "abc" << "abc.";
        QTest::newRow("full stop") << "abc." << "abc.";
        QTest::newRow("sorts before") << "abc!" << "abc!";
        QTest::newRow("digit") << "code 5" << "code 5.";
        QTest::newRow("japanese") << "開けません" << "開けません.";
        QTest::newRow("empty") << "" << "";
    }
    void defaultHandlerAppendsFullStop()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(Q(DisplayMessage(message.toStdString())), shown);
    }

    // ---------------------------------------------------------------- loading

    void loadPngAndBmpAtZoom3()
    {
        ExeDir dir;
        auto w = Open(dir);
        const QImage sprite = MakeImage(4, 3, {0xff0000, 0x00ff00, 0x0000ff, 0xffffff, 0x808080, 0x102030, 0xc86432,
                                               0xffff00, 0x000000, 0x00ffff, 0xff00ff, 0x123456});
        const std::string png = dir.File("sprite.png");
        const std::string bmp = dir.File("sprite.bmp");
        QVERIFY(sprite.save(Q(png)));
        QVERIFY(sprite.save(Q(bmp)));
        SelectZoom(*w, 2);

        for (const std::string& path : {png, bmp}) {
            w->bmpBefore->Image.Clear();
            Load(*w, path);
            QVERIFY(dialogs->Messages.empty());
            QCOMPARE(w->bmpBefore->Image.Width(), 4);
            QCOMPARE(w->bmpBefore->Image.Height(), 3);
            QCOMPARE(w->imgBefore->geometry(), QRect(0, 0, 12, 9));
            QCOMPARE(w->imgAfter->geometry(), QRect(0, 0, 12, 9));
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 4; ++x) {
                    const TColor c = ColorOf(sprite.pixel(x, y));
                    QCOMPARE(w->bmpBefore->Image.Pixel(x, y), c);
                    QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(x, y), c);
                }
            // Each picture pixel is drawn as a 3 x 3 block.
            const QImage drawn = w->imgBefore->grab().toImage();
            QCOMPARE(drawn.size(), QSize(12, 9));
            for (int y = 0; y < 9; ++y)
                for (int x = 0; x < 12; ++x)
                    QCOMPARE(drawn.pixel(x, y) & 0xffffff, sprite.pixel(x / 3, y / 3) & 0xffffff);
        }
    }

    void loadKeepsPicturesOnFailure()
    {
        ExeDir dir;
        auto w = Open(dir);
        const QImage sprite = MakeImage(2, 1, {0xff0000, 0x00ff00});
        QVERIFY(sprite.save(Q(dir.File("a.png"))));
        QVERIFY(sprite.save(Q(dir.File("b.tga")), "PNG"));
        Load(*w, dir.File("a.png"));
        w->tb->setValue(120);
        w->tbWidth->setValue(240);
        w->btnCheck->click();
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clLime);

        // A missing file: one message, nothing changes.
        Load(*w, dir.File("missing.png"));
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), Q("ファイル " + dir.File("missing.png") + " は開けません."));
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clLime);
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clRed);

        // Not a PNG at all: the reader's message, nothing changes.
        WriteFile(dir.File("junk.png"), "not a picture");
        Load(*w, dir.File("junk.png"));
        QCOMPARE(dialogs->Messages.size(), size_t(2));
        QCOMPARE(w->bmpBefore->Image.Width(), 2);

        // Another extension loads nothing; both panes keep their pictures and the result.
        Load(*w, dir.File("b.tga"));
        QCOMPARE(dialogs->Messages.size(), size_t(2));
        QCOMPARE(w->imgBefore->Picture.Bitmap().Pixel(0, 0), clRed);
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clLime);
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clLime);

        // A cancelled dialog does nothing.
        dialogs->OpenAnswers.push_back(std::nullopt);
        w->btnLoad->click();
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clRed);
    }

    // Any letter case of ".png" and ".bmp" loads, as the command-line tool reads them; the load
    // replaces an earlier result in the after pane.
    void loadAnyLetterCase_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("format");
        QTest::newRow("PNG") << "UPPER.PNG" << QByteArray("PNG");
        QTest::newRow("Png") << "mixed.Png" << QByteArray("PNG");
        QTest::newRow("BMP") << "UPPER.BMP" << QByteArray("BMP");
        QTest::newRow("Bmp") << "x.Bmp" << QByteArray("BMP");
    }
    void loadAnyLetterCase()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, format);
        ExeDir dir;
        auto w = Open(dir);
        QVERIFY(MakeImage(1, 1, {0xff0000}).save(Q(dir.File("first.png"))));
        QVERIFY(MakeImage(2, 1, {0x0000ff, 0x00ff00}).save(Q(dir.File(name.toStdString())), format.constData()));
        Load(*w, dir.File("first.png"));
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clLime);

        Load(*w, dir.File(name.toStdString()));
        QVERIFY(dialogs->Messages.empty());
        for (TImage* pane : {w->imgBefore, w->imgAfter}) {
            QCOMPARE(pane->Picture.Bitmap().Width(), 2);
            QCOMPARE(pane->Picture.Bitmap().Pixel(0, 0), clBlue);
            QCOMPARE(pane->size(), QSize(2, 1));
        }
        QCOMPARE(w->bmpAfter->Image.Pixel(1, 0), clLime);
    }

    // ---------------------------------------------------------------- the check command

    void checkRecolours()
    {
        ExeDir dir("clLime\r\n");
        auto w = Open(dir);
        // red, dark red, orange, grey, lime (protected), (200, 100, 50)
        const QImage sprite = MakeImage(6, 1, {0xff0000, 0x800000, 0xff8000, 0x808080, 0x00ff00, 0xc86432});
        QVERIFY(sprite.save(Q(dir.File("s.png"))));

        // Nothing loaded yet: nothing happens.
        w->btnCheck->click();
        QVERIFY(w->bmpAfter->Image.Empty());
        QVERIFY(dialogs->Messages.empty());

        Load(*w, dir.File("s.png"));
        w->tbWidth->setValue(240);
        w->tbHose->setValue(0);
        w->tb->setValue(120);
        w->btnCheck->click();
        QVERIFY(dialogs->Messages.empty());
        const TColor expected[] = {clLime, Rgb(0, 128, 0), Rgb(255, 128, 0), Rgb(128, 128, 128), clLime,
                                   Rgb(200, 100, 50)};
        for (int x = 0; x < 6; ++x) {
            QCOMPARE(w->bmpAfter->Image.Pixel(x, 0), expected[x]);
            QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(x, 0), expected[x]);
            QCOMPARE(w->bmpBefore->Image.Pixel(x, 0), ColorOf(sprite.pixel(x, 0)));
        }
        QVERIFY(w->bmpAfter->Image.PixelFormat() == TPixelFormat::pf24bit);

        // Lime is protected even inside the window; (200, 100, 50) moves with p = 220.
        w->tbWidth->setValue(120);
        w->tbHose->setValue(36);
        w->tb->setValue(0);
        w->btnCheck->click();
        QCOMPARE(w->bmpAfter->Image.Pixel(4, 0), clLime);
        w->tbWidth->setValue(220);
        w->tbHose->setValue(0);
        w->tb->setValue(120);
        w->btnCheck->click();
        QCOMPARE(w->bmpAfter->Image.Pixel(5, 0), Rgb(50, 200, 50));

        // The picture chosen for loading has gone: the check does nothing.
        fs::remove(dir.File("s.png"));
        w->tb->setValue(240);
        w->btnCheck->click();
        QCOMPARE(w->bmpAfter->Image.Pixel(5, 0), Rgb(50, 200, 50));
    }

    // ---------------------------------------------------------------- L and R

    void leftAndRight()
    {
        ExeDir dir;
        auto w = Open(dir);
        const QImage first = MakeImage(2, 1, {0xff0000, 0x0000ff});
        const QImage second = MakeImage(1, 1, {0x00ff00});
        QVERIFY(first.save(Q(dir.File("first.png"))));
        QVERIFY(second.save(Q(dir.File("second.png"))));

        // L before any check keeps the loaded picture.
        Load(*w, dir.File("first.png"));
        w->btnL->click();
        QCOMPARE(w->bmpBefore->Image.Width(), 2);
        QCOMPARE(w->imgBefore->Picture.Bitmap().Pixel(1, 0), clBlue);
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(1, 0), clBlue);

        Load(*w, dir.File("first.png"));
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        // R discards the result; L afterwards leaves the before picture as it was.
        w->btnR->click();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clRed);
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clRed);
        w->btnL->click();
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clRed);

        // Check, then L: the result is the new before picture; a second change builds on it.
        w->btnCheck->click();
        w->btnL->click();
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clLime);
        QCOMPARE(w->imgBefore->Picture.Bitmap().Pixel(0, 0), clLime);
        w->tbWidth->setValue(120);
        w->tb->setValue(240);
        w->btnCheck->click();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clBlue);
        QCOMPARE(w->bmpAfter->Image.Pixel(1, 0), clBlue);

        // L, R and save after loading another picture act on that picture, not the earlier result.
        Load(*w, dir.File("second.png"));
        w->btnL->click();
        QCOMPARE(w->bmpBefore->Image.Width(), 1);
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clLime);
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clLime);
        w->btnR->click();
        QCOMPARE(w->bmpAfter->Image.Width(), 1);
        Save(*w, dir.File("saved.png"));
        QCOMPARE(QImage(Q(dir.File("saved.png"))).size(), QSize(1, 1));
        QVERIFY(dialogs->Messages.empty());
    }

    // ---------------------------------------------------------------- zoom and picker

    void zoomSizesBothPanes()
    {
        ExeDir dir;
        auto w = Open(dir);
        SelectZoom(*w, 1);
        QCOMPARE(w->imgBefore->geometry(), QRect(0, 0, 0, 0));
        QCOMPARE(w->imgAfter->geometry(), QRect(0, 0, 0, 0));
        QImage sprite(40, 30, QImage::Format_RGB32);
        sprite.fill(0x336699);
        QVERIFY(sprite.save(Q(dir.File("s.bmp"))));
        Load(*w, dir.File("s.bmp"));
        QCOMPARE(w->imgBefore->geometry(), QRect(0, 0, 80, 60));
        QCOMPARE(w->imgAfter->geometry(), QRect(0, 0, 80, 60));
        SelectZoom(*w, 4);
        QCOMPARE(w->imgBefore->size(), QSize(200, 150));
        QCOMPARE(w->imgAfter->size(), QSize(200, 150));
    }

    void pickerSetsSourceSlider()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));

        // A click on the empty pane reads white, which has no hue: the slider stays.
        w->tbWidth->setValue(7);
        QTest::mousePress(w->imgBefore, Qt::LeftButton, {}, QPoint(3, 3));
        QCOMPARE(w->tbWidth->value(), 7);

        // red, green, blue, (200, 100, 50), grey; at zoom x3 a click at (7, 4) picks pixel (2, 1).
        const QImage sprite = MakeImage(3, 2, {0x000000, 0x000000, 0x000000, 0xff0000, 0xc86432, 0x00ff00});
        QVERIFY(sprite.save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        SelectZoom(*w, 2);
        QTest::mousePress(w->imgBefore, Qt::LeftButton, {}, QPoint(7, 4));
        QCOMPARE(w->tbWidth->value(), 115);
        QTest::mousePress(w->imgBefore, Qt::LeftButton, Qt::ShiftModifier, QPoint(0, 3));
        QCOMPARE(w->tbWidth->value(), 235);
        QTest::mousePress(w->imgBefore, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(w->tbWidth->value(), 215);
        QTest::mousePress(w->imgBefore, Qt::LeftButton, {}, QPoint(1, 1)); // black: no hue
        QCOMPARE(w->tbWidth->value(), 215);
        QCOMPARE(w->pnWidth->Color(), Rgb(255, 191, 0)); // the complement of hue 225

        w->bmpBefore->Image.Clear();
        const QImage blue = MakeImage(1, 1, {0x0000ff});
        QVERIFY(blue.save(Q(dir.File("b.png"))));
        Load(*w, dir.File("b.png"));
        SelectZoom(*w, 0);
        QTest::mousePress(w->imgBefore, Qt::LeftButton, {}, QPoint(0, 0));
        QCOMPARE(w->tbWidth->value(), 355);
        // With the default tolerance pure blue lies outside the window and stays.
        w->tb->setValue(120);
        w->btnCheck->click();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clBlue);
    }

    // ---------------------------------------------------------------- previews and readout

    void previews_data()
    {
        QTest::addColumn<QString>("slider");
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("red");
        QTest::addColumn<int>("green");
        QTest::addColumn<int>("blue");
        QTest::newRow("source 240") << "tbWidth" << 240 << 255 << 85 << 0;
        QTest::newRow("source 80") << "tbWidth" << 80 << 0 << 255 << 255;
        QTest::newRow("source 0") << "tbWidth" << 0 << 85 << 0 << 255;
        QTest::newRow("target 120") << "tb" << 120 << 0 << 255 << 0;
        QTest::newRow("target 360") << "tb" << 360 << 255 << 0 << 0;
        QTest::newRow("target 0") << "tb" << 0 << 255 << 0 << 0;
    }
    void previews()
    {
        QFETCH(QString, slider);
        QFETCH(int, position);
        QFETCH(int, red);
        QFETCH(int, green);
        QFETCH(int, blue);
        ExeDir dir;
        auto w = Open(dir);
        QSlider* s = slider == "tb" ? w->tb : w->tbWidth;
        TPanel* panel = slider == "tb" ? w->pntb : w->pnWidth;
        s->setValue(position == 0 ? 200 : 0); // so that the position below is a change
        s->setValue(position);
        QCOMPARE(panel->Color(), Rgb(red, green, blue));
        QCOMPARE(panel->ShownColor(), QColor(red, green, blue));
    }

    void toleranceReadout()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->tbHose->setValue(36);
        QCOMPARE(w->lblHose->text(), QStringLiteral("36"));
        w->tbHose->setValue(0);
        QCOMPARE(w->lblHose->text(), QStringLiteral("0"));
    }

    // ---------------------------------------------------------------- saving

    void saveByExtension()
    {
        ExeDir dir;
        auto w = Open(dir);
        const QImage sprite = MakeImage(3, 2, {0xff0000, 0x00ff00, 0x0000ff, 0x123456, 0xffffff, 0x000000});
        QVERIFY(sprite.save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();

        for (const char* name : {"out.png", "out.bmp"}) {
            SelectZoom(*w, 3);
            Save(*w, dir.File(name));
            QVERIFY(dialogs->Messages.empty());
            QCOMPARE(w->rgZoom->ItemIndex(), 0);
            QCOMPARE(w->imgBefore->size(), QSize(3, 2));
            QCOMPARE(w->imgAfter->size(), QSize(3, 2));
            const QImage written(Q(dir.File(name)));
            QCOMPARE(written.size(), QSize(3, 2));
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 3; ++x) QCOMPARE(ColorOf(written.pixel(x, y)), w->bmpAfter->Image.Pixel(x, y));
        }
        QCOMPARE(ColorOf(QImage(Q(dir.File("out.png"))).pixel(0, 0)), clLime);

        // No extension: the default one is added.
        Save(*w, dir.File("plain"));
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(fs::exists(dir.File("plain.png")));
        QVERIFY(!fs::exists(dir.File("plain")));
        QCOMPARE(QImage(Q(dir.File("plain.png"))).size(), QSize(3, 2));

        // An unknown extension: the message dialog, nothing written, the zoom at x1.
        SelectZoom(*w, 2);
        Save(*w, dir.File("out.tga"));
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), QStringLiteral(".tgaクイズ！無理オネア"));
        QCOMPARE(Q(dialogs->Messages[0].Caption), QStringLiteral("Tintabrel"));
        QVERIFY(dialogs->Messages[0].Icon == TMsgIcon::None);
        QVERIFY(!fs::exists(dir.File("out.tga")));
        QCOMPARE(w->rgZoom->ItemIndex(), 0);
        QCOMPARE(w->imgAfter->size(), QSize(3, 2));

        // Capitals are not recognised either.
        Save(*w, dir.File("OUT.PNG"));
        QCOMPARE(dialogs->Messages.size(), size_t(2));
        QCOMPARE(Q(dialogs->Messages[1].Text), QStringLiteral(".PNGクイズ！無理オネア"));
        QVERIFY(!fs::exists(dir.File("OUT.PNG")));
    }

    void alphaSurvivesRecolourAndSave()
    {
        ExeDir dir;
        auto w = Open(dir);
        const QImage sprite = MakeImage(4, 2,
                                        {qRgba(255, 0, 0, 255), qRgba(255, 0, 0, 128), qRgba(255, 0, 0, 1),
                                         qRgba(0, 0, 255, 0), qRgba(0, 0, 255, 200), qRgba(90, 90, 90, 77),
                                         qRgba(200, 100, 50, 255), qRgba(128, 0, 0, 254)},
                                        QImage::Format_ARGB32);
        QVERIFY(sprite.save(Q(dir.File("rgba.png"))));
        Load(*w, dir.File("rgba.png"));
        QVERIFY(w->bmpBefore->Alpha.Width() == 4);
        Save(*w, dir.File("loaded.png"));
        w->tbWidth->setValue(240);
        w->tbHose->setValue(0);
        w->tb->setValue(120);
        w->btnCheck->click();
        Save(*w, dir.File("checked.png"));
        // L and R carry the transparency with the pictures.
        w->btnL->click();
        w->btnR->click();
        Save(*w, dir.File("again.png"));
        QVERIFY(dialogs->Messages.empty());

        for (const char* name : {"loaded.png", "checked.png", "again.png"}) {
            const bool recoloured = std::string(name) != "loaded.png";
            const QImage out = QImage(Q(dir.File(name))).convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(out.size(), sprite.size());
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 4; ++x) {
                    const QRgb in = sprite.pixel(x, y);
                    const QRgb got = out.pixel(x, y);
                    QCOMPARE(qAlpha(got), qAlpha(in));
                    if (qAlpha(in) == 0) continue;
                    const bool red = qRed(in) > 0 && qGreen(in) == 0 && qBlue(in) == 0;
                    QCOMPARE(ColorOf(got), red && recoloured ? Rgb(0, qRed(in), 0) : ColorOf(in));
                }
        }

        // A palette picture with a transparent entry: recoloured and saved, it stays transparent.
        QImage indexed(3, 1, QImage::Format_Indexed8);
        indexed.setColorTable({qRgba(10, 200, 30, 0), qRgba(255, 0, 0, 255), qRgba(255, 0, 0, 100)});
        for (int x = 0; x < 3; ++x) indexed.setPixel(x, 0, uint(x));
        QVERIFY(indexed.save(Q(dir.File("indexed.png"))));
        Load(*w, dir.File("indexed.png"));
        w->btnCheck->click();
        Save(*w, dir.File("indexed-out.png"));
        QVERIFY(dialogs->Messages.empty());
        const QImage indexedOut = QImage(Q(dir.File("indexed-out.png"))).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(qAlpha(indexedOut.pixel(0, 0)), 0);
        QCOMPARE(indexedOut.pixel(1, 0), qRgba(0, 255, 0, 255));
        QCOMPARE(indexedOut.pixel(2, 0), qRgba(0, 255, 0, 100));

        // A BMP has no transparency: loading one clears it, and its PNG is opaque.
        const QImage opaque = MakeImage(1, 1, {0xff0000});
        QVERIFY(opaque.save(Q(dir.File("o.bmp"))));
        Load(*w, dir.File("o.bmp"));
        QVERIFY(w->bmpBefore->Alpha.Empty());
        Save(*w, dir.File("o.png"));
        QVERIFY(!QImage(Q(dir.File("o.png"))).hasAlphaChannel());
    }

    void failingSaveKeepsExistingFile()
    {
        ExeDir dir;
        auto w = Open(dir);
        QImage sprite(64, 64, QImage::Format_RGB32);
        sprite.fill(0x804020);
        QVERIFY(sprite.save(Q(dir.File("s.bmp"))));
        Load(*w, dir.File("s.bmp"));
        const std::string target = dir.File("precious.bmp");
        const std::string old(5000, 'x');
        WriteFile(target, old);

        // Files may grow to 1000 bytes only while saving: the write fails half way.
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 1000;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        Save(*w, target);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QVERIFY(dialogs->Messages[0].Icon == TMsgIcon::Error);
        QVERIFY(ReadFile(target) == old);
        for (const auto& entry : fs::directory_iterator(dir.Path()))
            QVERIFY2(entry.path().filename().string().find(".tmp") == std::string::npos,
                     entry.path().c_str());
    }

    void saveWithoutPictureAndIntoMissingFolder()
    {
        ExeDir dir;
        auto w = Open(dir);
        // Nothing loaded: a BMP of no bytes.
        Save(*w, dir.File("empty.bmp"));
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(fs::exists(dir.File("empty.bmp")));
        QCOMPARE(fs::file_size(dir.File("empty.bmp")), uintmax_t(0));

        const std::string target = dir.File("no/such/folder/x.png");
        Save(*w, target);
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), Q("ファイル " + target + " を作成できません."));
    }

    // ---------------------------------------------------------------- undo and redo

    // Load, check, L, check; every state comes back with Ctrl+Z and again with Ctrl+Y and
    // Ctrl+Shift+Z: both pictures, their transparency, the panes and the zoom.
    void undoRedoRestoresEachState()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        const QImage sprite = MakeImage(2, 1, {qRgba(255, 0, 0, 255), qRgba(0, 0, 255, 100)}, QImage::Format_ARGB32);
        QVERIFY(sprite.save(Q(dir.File("s.png"))));

        struct Shown {
            int Zoom;
            QSize Pane;
            TColor Before0, Before1, After0, After1;
            int Alpha1; // stored alpha byte of pixel 1 of the after picture (255 - alpha), -1: none
        };
        const auto shown = [&] {
            const TBitmap& alpha = w->bmpAfter->Alpha;
            return Shown{w->rgZoom->ItemIndex(), w->imgAfter->size(),
                         w->imgBefore->Picture.Bitmap().Pixel(0, 0), w->imgBefore->Picture.Bitmap().Pixel(1, 0),
                         w->imgAfter->Picture.Bitmap().Pixel(0, 0), w->imgAfter->Picture.Bitmap().Pixel(1, 0),
                         alpha.Empty() ? -1 : alpha.ConstScanLine(0)[1]};
        };
        const auto same = [](const Shown& a, const Shown& b) {
            return a.Zoom == b.Zoom && a.Pane == b.Pane && a.Before0 == b.Before0 && a.Before1 == b.Before1 &&
                   a.After0 == b.After0 && a.After1 == b.After1 && a.Alpha1 == b.Alpha1;
        };
        const auto undo = [&] { QTest::keyClick(w.get(), Qt::Key_Z, Qt::ControlModifier); };

        // Undo gives back the state right before each command, zoom changes in between included.
        std::vector<Shown> states{shown()};
        states[0].Pane = QSize(0, 0); // the empty picture's size, not the design size
        Load(*w, dir.File("s.png"));
        states.push_back(shown());
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        SelectZoom(*w, 2);
        states.push_back(shown());
        w->btnL->click();
        states.push_back(shown());
        w->tbWidth->setValue(120);
        w->tb->setValue(0);
        w->btnCheck->click();
        states.push_back(shown());
        QVERIFY(dialogs->Messages.empty());
        QCOMPARE(states[4].After0, clRed);
        QCOMPARE(states[4].Alpha1, 155);
        QCOMPARE(w->History.UndoCount(), size_t(4));

        for (int i = 3; i >= 0; --i) {
            undo();
            QVERIFY2(same(shown(), states[static_cast<size_t>(i)]), std::to_string(i).c_str());
        }
        undo(); // nothing left: nothing changes
        QVERIFY(same(shown(), states[0]));
        for (size_t i = 1; i < states.size(); ++i) {
            if (i % 2)
                QTest::keyClick(w.get(), Qt::Key_Y, Qt::ControlModifier);
            else
                QTest::keyClick(w.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
            QVERIFY2(same(shown(), states[i]), std::to_string(i).c_str());
        }

        // A new command after undoing drops the steps that were undone.
        undo();
        undo();
        w->btnR->click();
        QCOMPARE(w->History.RedoCount(), size_t(0));
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clRed);
        undo();
        QVERIFY(same(shown(), states[2]));
        // R with nothing to discard and a cancelled load are no steps.
        w->btnR->click();
        w->btnR->click();
        dialogs->OpenAnswers.push_back(std::nullopt);
        w->btnLoad->click();
        QCOMPARE(w->History.UndoCount(), size_t(3));
    }

    // Steps share pixel stores, so a deep history of a small picture costs a few pictures; the
    // limit in bytes drops the oldest steps and keeps the newest.
    void historyIsBoundedByMemory()
    {
        ExeDir dir;
        auto w = Open(dir);
        QImage sprite(100, 100, QImage::Format_RGB32);
        sprite.fill(0xff0000);
        QVERIFY(sprite.save(Q(dir.File("s.bmp"))));
        Load(*w, dir.File("s.bmp"));
        const size_t picture = 100 * 100 * 3;
        for (int i = 0; i < 200; ++i) {
            w->tb->setValue(i % 2 ? 120 : 240);
            w->tbWidth->setValue(240);
            w->btnCheck->click();
            w->btnR->click();
        }
        QCOMPARE(w->History.UndoCount(), size_t(401));
        // The before picture is shared by every step; each check made one new picture.
        QVERIFY(w->History.Bytes() < 202 * (picture + 400));

        w->History.SetByteLimit(10 * picture);
        QVERIFY(w->History.Bytes() <= 10 * picture);
        QVERIFY(w->History.UndoCount() >= 9);
        w->History.SetByteLimit(0);
        QCOMPARE(w->History.UndoCount(), size_t(1));
        w->Undo();
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clLime); // the last check's result
        QVERIFY(!w->History.CanUndo());
    }

    // ---------------------------------------------------------------- drag and drop

    void dropLoadsPicture()
    {
        ExeDir dir;
        auto w = Open(dir);
        QVERIFY(MakeImage(1, 1, {0xff0000}).save(Q(dir.File("DROP.PNG")), "PNG"));
        WriteFile(dir.File("notes.txt"), "text");
        const auto mime = [](const std::vector<std::string>& paths) {
            auto data = std::make_unique<QMimeData>();
            QList<QUrl> urls;
            for (const std::string& path : paths) urls.push_back(QUrl::fromLocalFile(Q(path)));
            data->setUrls(urls);
            return data;
        };
        const auto accepted = [&](const QMimeData& data) {
            QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(w.get(), &enter);
            return enter.isAccepted();
        };
        const auto drop = [&](const QMimeData& data) {
            QVERIFY(accepted(data));
            QDropEvent event(QPointF(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(w.get(), &event);
        };

        QVERIFY(w->acceptDrops());
        QVERIFY(!accepted(*mime({dir.File("notes.txt")})));
        QVERIFY(!accepted(*mime({dir.File("DROP.PNG"), dir.File("DROP.PNG")})));
        drop(*mime({dir.File("DROP.PNG")}));
        QVERIFY(dialogs->Messages.empty());
        QCOMPARE(w->imgBefore->Picture.Bitmap().Pixel(0, 0), clRed);
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clRed);
        // The check reads the dropped path, as it reads the open dialog's choice.
        QCOMPARE(Q(w->od.FileName), Q(dir.File("DROP.PNG")));
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clLime);
        w->Undo();
        w->Undo();
        QVERIFY(w->imgBefore->Picture.Bitmap().Empty());

        // A file that cannot be read: the load button's message, nothing changes.
        drop(*mime({dir.File("gone.png")}));
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), Q("ファイル " + dir.File("gone.png") + " は開けません."));
        QVERIFY(w->imgBefore->Picture.Bitmap().Empty());
    }

    // ---------------------------------------------------------------- Japanese dialogs and layout

    void qtTextsAreJapanese()
    {
        // What the message boxes' buttons and the file dialog say.
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("キャンセル"));
        QCOMPARE(QCoreApplication::translate("QFileDialog", "File &name:"), QStringLiteral("ファイル名(&N):"));
    }

    void fileFiltersShowTheirTextOnce()
    {
        ExeDir dir;
        auto w = Open(dir);
        for (TFileDialog* settings : {&w->od, &w->sd}) {
            QFileDialog box;
            SetupFileDialog(box, *settings, settings == &w->sd);
            auto* combo = box.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            QVERIFY(combo);
            QStringList shown;
            for (int i = 0; i < combo->count(); ++i) shown << combo->itemText(i);
            // GIF and animated PNG beside the BMP and PNG entries, all files last.
            if (settings == &w->od)
                QCOMPARE(shown, (QStringList{QStringLiteral("対応しているﾌｧｲﾙ(*.bmp:*.png:*.gif:*.apng)"),
                                            QStringLiteral("Windowsﾋﾞｯﾄﾏｯﾌﾟ(*.bmp)"),
                                            QStringLiteral("PortableNetworkGraphic(*.png)"),
                                            QStringLiteral("GraphicsInterchangeFormat(*.gif)"),
                                            QStringLiteral("ｱﾆﾒｰｼｮﾝPNG(*.png:*.apng)"),
                                            QStringLiteral("すべてのﾌｧｲﾙ(*.*)")}));
            else
                QCOMPARE(shown, (QStringList{QStringLiteral("PortableNetworkGraphic(*.png)"),
                                            QStringLiteral("Windowsﾋﾞｯﾄﾏｯﾌﾟ(*.bmp)"),
                                            QStringLiteral("GraphicsInterchangeFormat(*.gif)"),
                                            QStringLiteral("ｱﾆﾒｰｼｮﾝPNG(*.png:*.apng)"),
                                            QStringLiteral("すべてのﾌｧｲﾙ(*.*)")}));
            // The patterns still filter, and the chosen filter is known by its full text.
            QCOMPARE(box.nameFilters().first().endsWith(settings == &w->od ? "(*.bmp *.png *.gif *.apng)" : "(*.png)"),
                     true);
            combo->setCurrentIndex(1);
            box.selectFile(QStringLiteral("x.bmp"));
            TFileDialog result = *settings;
            QVERIFY(TakeFileDialogResult(box, result));
            QCOMPARE(result.FilterIndex, 2);
        }
    }

    void nothingOverlapsOrIsClipped()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));

        // The zoom items lie inside the group's frame, one below the other.
        QStyleOptionGroupBox option;
        option.initFrom(w->rgZoom);
        option.text = w->rgZoom->title();
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QRect inside = w->rgZoom->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                                QStyle::SC_GroupBoxContents, w->rgZoom);
        QRect previous;
        for (int i = 0; i < w->rgZoom->Count(); ++i) {
            const QRect item = w->rgZoom->Button(i)->geometry();
            QVERIFY2(inside.contains(item), std::to_string(i).c_str());
            QVERIFY(item.height() >= w->rgZoom->Button(i)->fontMetrics().height());
            QVERIFY(!item.intersects(previous));
            previous = item;
        }

        // The three credit lines fit between the group box and the bottom edge, also after a click.
        for (int click = 0; click < 2; ++click) {
            const QRect credit = w->lbl->geometry();
            QVERIFY(credit.height() >= 3 * w->lbl->fontMetrics().lineSpacing() - w->lbl->fontMetrics().leading() ||
                    click == 1);
            QVERIFY(credit.bottom() < w->height() - 2);
            QVERIFY(!credit.intersects(w->gb->geometry()));
            QTest::mouseClick(w->lbl, Qt::LeftButton, {}, QPoint(2, 2));
        }
    }

    // ---------------------------------------------------------------- grid, editor, credit

    void doubleClickStartsEditor()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));

        QTest::mouseDClick(w->imgColor, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), QStringLiteral("Swatchwrightがないです"));
        QVERIFY(dialogs->Messages[0].Icon == TMsgIcon::None);
        QVERIFY(dialogs->Started.empty());

        fs::create_directory(dir.File("Swatchwright")); // a folder is no program
        QTest::mouseDClick(w->imgColor, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(dialogs->Messages.size(), size_t(2));
        fs::remove(dir.File("Swatchwright"));

        WriteFile(dir.File("Swatchwright"), "#!/bin/sh\n");
        QTest::mouseDClick(w->imgColor, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(dialogs->Messages.size(), size_t(2));
        QCOMPARE(dialogs->Started.size(), size_t(1));
        QCOMPARE(Q(dialogs->Started[0]), Q(dir.File("Swatchwright")));
    }

    void creditClick()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const int before = w->lbl->width();
        QTest::mouseClick(w->lbl, Qt::LeftButton, {}, QPoint(2, 2));
        QCOMPARE(Q(w->lbl->Caption()), QStringLiteral("よしこさん飯はまだかのぅ。"));
        QVERIFY(w->lbl->width() != before);
    }

    // ---------------------------------------------------------------- faults met by new users

    // A tiny BMP that declares a huge picture is refused before anything is sized for it; a
    // file cut by a few rows still loads with the missing rows black.
    void hollowBmpIsRefused()
    {
        ExeDir dir;
        auto w = Open(dir);
        QVERIFY(MakeImage(1, 1, {0x00ff00}).save(Q(dir.File("first.png"))));
        Load(*w, dir.File("first.png"));
        const std::string hollow = FourBitBmp(8192, 8192, 0);
        QCOMPARE(hollow.size(), size_t(118));
        WriteFile(dir.File("hollow.bmp"), hollow);
        WriteFile(dir.File("half.bmp"), FourBitBmp(64, 64, 31));
        WriteFile(dir.File("cut.bmp"), FourBitBmp(64, 64, 60));
        // The reader takes the pixel data right after the colour table, whatever the file
        // header's offset says: a whole file with a wrong offset loads.
        std::string offset = FourBitBmp(64, 64, 64);
        offset[10] = char(0xff);
        offset[11] = char(0xff);
        WriteFile(dir.File("offset.bmp"), offset);
        const size_t steps = w->History.UndoCount();

        for (const char* name : {"hollow.bmp", "half.bmp"}) {
            dialogs->Messages.clear();
            Load(*w, dir.File(name));
            QCOMPARE(dialogs->Messages.size(), size_t(1));
            QVERIFY2(Q(dialogs->Messages[0].Text).contains(QStringLiteral("画素のデータが足りない")),
                     dialogs->Messages[0].Text.c_str());
            QVERIFY(dialogs->Messages[0].Icon == TMsgIcon::Error);
            QCOMPARE(w->bmpBefore->Image.Width(), 1);
            QCOMPARE(w->History.UndoCount(), steps);
        }

        dialogs->Messages.clear();
        Load(*w, dir.File("offset.bmp"));
        QVERIFY(dialogs->Messages.empty());
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clRed);
        Load(*w, dir.File("cut.bmp"));
        QVERIFY(dialogs->Messages.empty());
        QCOMPARE(w->bmpBefore->Image.Width(), 64);
        // Bottom-up rows: the 60 present rows are the lowest ones, the 4 missing ones at the top are black.
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 63), clRed);
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 4), clRed);
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 3), clBlack);
    }

    // A picture the window could not hold in its memory budget is refused with a message.
    void loadBoundedByMemory()
    {
        ExeDir dir;
        auto w = Open(dir);
        QVERIFY(MakeImage(1, 1, {0x00ff00}).save(Q(dir.File("small.png"))));
        QVERIFY(QImage(20, 20, QImage::Format_RGB32).save(Q(dir.File("big.png"))));
        QVERIFY(QImage(20, 20, QImage::Format_RGB32).save(Q(dir.File("big.bmp"))));
        w->MemoryBudget = 24 * 100;
        Load(*w, dir.File("small.png"));
        QVERIFY(dialogs->Messages.empty());
        for (const char* name : {"big.png", "big.bmp"}) {
            Load(*w, dir.File(name));
            QCOMPARE(dialogs->Messages.size(), size_t(1));
            QVERIFY(Q(dialogs->Messages[0].Text).startsWith(QStringLiteral("画像が大きすぎます(20x20)")));
            QCOMPARE(w->bmpBefore->Image.Width(), 1);
            dialogs->Messages.clear();
        }
        w->MemoryBudget = 24 * 400;
        Load(*w, dir.File("big.png"));
        QVERIFY(dialogs->Messages.empty());
        QCOMPARE(w->bmpBefore->Image.Width(), 20);
    }

    // The check of a palette picture keeps its palette: saved as PNG it is a palette PNG with
    // tRNS, saved as BMP an 8-bit BMP; the pixels are those of the 24-bit result.
    void checkKeepsPalette()
    {
        ExeDir dir;
        auto w = Open(dir);
        QImage indexed(3, 2, QImage::Format_Indexed8);
        indexed.setColorTable({qRgba(255, 0, 0, 255), qRgba(255, 0, 0, 100), qRgba(0, 0, 255, 0), qRgba(10, 200, 30, 255)});
        const int indices[6] = {0, 1, 2, 3, 0, 1};
        for (int i = 0; i < 6; ++i) indexed.setPixel(i % 3, i / 3, uint(indices[i]));
        QVERIFY(indexed.save(Q(dir.File("pal.png"))));
        QVERIFY(IsPalettePngWithTrns(ReadFile(dir.File("pal.png"))));
        QImage opaque = indexed;
        opaque.setColorTable({qRgb(255, 0, 0), qRgb(128, 0, 0), qRgb(0, 0, 255), qRgb(10, 200, 30)});
        QVERIFY(opaque.save(Q(dir.File("pal.bmp"))));

        for (const char* input : {"pal.png", "pal.bmp"}) {
            Load(*w, dir.File(input));
            QVERIFY(w->bmpBefore->PaletteBits != 0);
            w->tbWidth->setValue(240);
            w->tb->setValue(120);
            w->btnCheck->click();
            QVERIFY(dialogs->Messages.empty());
            QCOMPARE(w->bmpAfter->PaletteBits, w->bmpBefore->PaletteBits);
            // The same pixels as the engine's 24-bit result.
            TPictureData expected;
            ApplyChange(*w->bmpBefore, expected, TProtectedColors(*w->ColorList), THueWindow{240, 18, 120}, true);
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 3; ++x) QCOMPARE(w->bmpAfter->Image.Pixel(x, y), expected.Image.Pixel(x, y));
            QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clLime);
            QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(0, 0), clLime);
        }
        Load(*w, dir.File("pal.png"));
        w->btnCheck->click();
        Save(*w, dir.File("out.png"));
        QVERIFY(IsPalettePngWithTrns(ReadFile(dir.File("out.png"))));
        const QImage png(Q(dir.File("out.png")));
        QCOMPARE(png.pixel(0, 0), qRgba(0, 255, 0, 255));
        QCOMPARE(qAlpha(png.pixel(1, 0)), 100);
        QCOMPARE(qAlpha(png.pixel(2, 0)), 0);

        Load(*w, dir.File("pal.bmp"));
        w->btnCheck->click();
        Save(*w, dir.File("out.bmp"));
        const std::string bmp = ReadFile(dir.File("out.bmp"));
        QCOMPARE(int(uint8_t(bmp.at(28))), int(uint8_t(ReadFile(dir.File("pal.bmp")).at(28))));
        QVERIFY(uint8_t(bmp.at(28)) <= 8);
        QCOMPARE(QImage(Q(dir.File("out.bmp"))).pixel(0, 0) & 0xffffff, 0x00ff00u);
    }

    // A name typed without extension takes the chosen filter's extension (the default one for
    // "all files"), in the window and in Qt's dialog.
    void typedNameTakesChosenFilter_data()
    {
        QTest::addColumn<int>("filter");
        QTest::addColumn<QString>("written");
        QTest::newRow("png") << 1 << "name.png";
        QTest::newRow("bmp") << 2 << "name.bmp";
        QTest::newRow("animated png") << 4 << "name.png"; // a still picture: a plain PNG
        QTest::newRow("all") << 5 << "name.png";
    }
    void typedNameTakesChosenFilter()
    {
        QFETCH(int, filter);
        QFETCH(QString, written);
        ExeDir dir;
        auto w = Open(dir);
        QVERIFY(MakeImage(2, 1, {0xff0000, 0x0000ff}).save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        dialogs->SaveFilters.push_back(filter);
        Save(*w, dir.File("name"));
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(fs::exists(dir.File(written.toStdString())));
        const std::string bytes = ReadFile(dir.File(written.toStdString()));
        QCOMPARE(bytes.substr(0, 2) == "BM", written.endsWith(".bmp"));

        QFileDialog box;
        TFileDialog settings = w->sd;
        settings.FilterIndex = 1;
        SetupFileDialog(box, settings, true);
        QCOMPARE(box.defaultSuffix(), QStringLiteral("png"));
        auto* combo = box.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        QVERIFY(combo);
        combo->setCurrentIndex(filter - 1);
        // As the user's choice.
        emit combo->activated(filter - 1);
        emit combo->textActivated(combo->itemText(filter - 1));
        QCOMPARE(box.defaultSuffix(), written.section('.', 1));
    }

    // Saving transparency as BMP tells that it is lost; the file is written all the same. An
    // opaque picture saves silently.
    void bmpSaveTellsAlphaIsLost()
    {
        ExeDir dir;
        auto w = Open(dir);
        QVERIFY(MakeImage(2, 1, {qRgba(255, 0, 0, 255), qRgba(0, 0, 255, 40)}, QImage::Format_ARGB32)
                    .save(Q(dir.File("rgba.png"))));
        QVERIFY(MakeImage(2, 1, {qRgba(255, 0, 0, 255), qRgba(0, 0, 255, 255)}, QImage::Format_ARGB32)
                    .save(Q(dir.File("opaque.png"))));
        Load(*w, dir.File("opaque.png"));
        Save(*w, dir.File("opaque.bmp"));
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(fs::exists(dir.File("opaque.bmp")));

        Load(*w, dir.File("rgba.png"));
        Save(*w, dir.File("rgba.png.png"));
        QVERIFY(dialogs->Messages.empty());
        Save(*w, dir.File("rgba.bmp"));
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text),
                 QStringLiteral("BMP形式では透明度を保存できないため、透明な部分は不透明になりました"));
        QVERIFY(fs::exists(dir.File("rgba.bmp")));
        QCOMPARE(QImage(Q(dir.File("rgba.bmp"))).pixel(1, 0) & 0xffffff, 0x0000ffu);
    }

    // The list editor's saves take effect at once: written in place or through a new file and a
    // rename, the list is read again, the grid redrawn and the next check uses it.
    void listReloadsWhenSaved()
    {
        ExeDir dir("clBlack\r\n");
        auto w = Open(dir);
        QVERIFY(MakeImage(2, 1, {0xff0000, 0x0000ff}).save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clLime);
        const TColor firstCell = w->imgColor->Picture.Bitmap().Pixel(12, 12);
        QCOMPARE(firstCell, clBlack);

        WriteFile(dir.File("ColorList.dat"), "clRed\r\nclBlue\r\n");
        QTRY_COMPARE(w->ColorList->Count(), 2);
        QCOMPARE(w->imgColor->Picture.Bitmap().Pixel(12, 12), clRed);
        w->btnCheck->click();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clRed);

        // Replaced through a rename, as the editor saves; then once more, still watched.
        for (const char* list : {"clWhite\r\n", "clMaroon\r\nclRed\r\nclBlue\r\n"}) {
            WriteFile(dir.File("new.tmp"), list);
            fs::rename(dir.File("new.tmp"), dir.File("ColorList.dat"));
            const int lines = int(std::count(list, list + std::strlen(list), '\n'));
            QTRY_COMPARE(w->ColorList->Count(), lines);
        }
        QCOMPARE(w->imgColor->Picture.Bitmap().Pixel(12, 12), clMaroon);
        QVERIFY(dialogs->Messages.empty());

        // A bad line: the message of the start-up, the grid as it was.
        WriteFile(dir.File("ColorList.dat"), " clRed\r\n");
        QTRY_COMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), QStringLiteral("' clRed' は整数ではありません."));
    }

    // The file dialogs show sizes and dates in Japanese whatever the system's locale, and open
    // wide enough for every column of the file list.
    void fileDialogsSpeakJapaneseAndFitColumns()
    {
        ExeDir dir;
        auto w = Open(dir);
        const std::string name = "character_sprite_sheet_final_version.png";
        QVERIFY(MakeImage(1, 1, {0xff0000}).save(Q(dir.File(name))));
        const QLocale japanese(QLocale::Japanese, QLocale::Japan);
        const QFileInfo info(Q(dir.File(name)));
        for (TFileDialog* settings : {&w->od, &w->sd}) {
            QFileDialog box;
            SetupFileDialog(box, *settings, settings == &w->sd);
            box.setDirectory(dir.dir.path());
            box.show();
            QVERIFY(QTest::qWaitForWindowExposed(&box));
            auto* list = box.findChild<QTreeView*>(QStringLiteral("treeView"));
            QVERIFY(list);
            QAbstractItemModel* model = list->model();
            QModelIndex row;
            QTRY_VERIFY((row = [&] {
                             const QModelIndex root = list->rootIndex();
                             for (int r = 0; r < model->rowCount(root); ++r)
                                 if (model->index(r, 0, root).data().toString() == Q(name)) return model->index(r, 0, root);
                             return QModelIndex();
                         }())
                            .isValid());
            QCOMPARE(model->index(row.row(), 1, row.parent()).data().toString(), japanese.formattedDataSize(info.size()));
            QCOMPARE(model->index(row.row(), 3, row.parent()).data().toString(),
                     japanese.toString(info.lastModified(), QLocale::ShortFormat));
            QVERIFY(model->index(row.row(), 1, row.parent()).data().toString().contains(QStringLiteral("バイト")));

            // Every column is shown whole: the name, and the texts of the other columns.
            const QHeaderView* header = list->header();
            int total = 0;
            for (int c = 0; c < 4; ++c) {
                const QString text = model->index(row.row(), c, row.parent()).data().toString();
                QVERIFY2(header->sectionSize(c) >= list->fontMetrics().horizontalAdvance(text) + 24,
                         qPrintable(text));
                total += header->sectionSize(c);
            }
            QVERIFY(total <= list->viewport()->width());
        }
    }

    // ---------------------------------------------------------------- seeing before pressing

    // Transparent and half-transparent pixels are drawn over a checkerboard in both panes;
    // opaque pixels are drawn exactly; the saved pixels stay as they were.
    void checkerboardUnderTransparency()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        // 16 x 16: the left half opaque red, the right half magenta of alpha 0, one pixel half blue.
        QImage sprite(16, 16, QImage::Format_ARGB32);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) sprite.setPixel(x, y, x < 8 ? qRgba(255, 0, 0, 255) : qRgba(255, 0, 255, 0));
        sprite.setPixel(12, 3, qRgba(0, 0, 255, 128));
        QVERIFY(sprite.save(Q(dir.File("a.png"))));
        Load(*w, dir.File("a.png"));
        QVERIFY(w->actChecker->isChecked());
        const QColor light = TImage::CheckerLight(), dark = TImage::CheckerDark();
        for (TImage* pane : {w->imgBefore, w->imgAfter}) {
            const QImage shown = pane->grab().toImage();
            QCOMPARE(shown.size(), QSize(16, 16));
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x) {
                    const QRgb c = shown.pixel(x, y) & 0xffffff;
                    const bool lightSquare = ((x / TImage::CheckerSquare) + (y / TImage::CheckerSquare)) % 2 == 0;
                    const QRgb square = (lightSquare ? light : dark).rgb() & 0xffffff;
                    if (x < 8) QCOMPARE(c, 0xff0000u);
                    else if (x == 12 && y == 3) {
                        QVERIFY(qBlue(c) > 120 && qBlue(c) < 255 && qRed(c) < 200 && qRed(c) > 60);
                    } else QCOMPARE(c, square);
                }
        }
        // Off: the stored colours, drawn opaque as before.
        w->actChecker->setChecked(false);
        QCOMPARE(w->imgBefore->grab().toImage().pixel(10, 10) & 0xffffff, 0xff00ffu);
        QCOMPARE(w->imgAfter->grab().toImage().pixel(10, 10) & 0xffffff, 0xff00ffu);
        w->actChecker->setChecked(true);
        // Zoomed, the squares keep their size on screen.
        SelectZoom(*w, 1);
        const QImage zoomed = w->imgBefore->grab().toImage();
        QCOMPARE(zoomed.pixel(16, 0) & 0xffffff, light.rgb() & 0xffffff);
        QCOMPARE(zoomed.pixel(24, 0) & 0xffffff, dark.rgb() & 0xffffff);

        // An opaque picture shows no checkerboard at all, and the saved pixels are the loaded ones.
        Save(*w, dir.File("saved.png"));
        const QImage saved(Q(dir.File("saved.png")));
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) QCOMPARE(saved.pixel(x, y), sprite.pixel(x, y));
        QVERIFY(MakeImage(2, 1, {0x00ff00, 0x0000ff}).save(Q(dir.File("opaque.png"))));
        Load(*w, dir.File("opaque.png"));
        QVERIFY(w->imgBefore->Composed().isNull());
    }

    // The mask marks exactly the pixels the check changes, and distinctly those the protected
    // list keeps; the preview is exactly the check's result. On a table of pictures and settings.
    void maskAndPreviewEqualTheCheck_data()
    {
        QTest::addColumn<QString>("picture");
        QTest::addColumn<int>("source");
        QTest::addColumn<int>("tolerance");
        QTest::addColumn<int>("target");
        QTest::addColumn<bool>("wrap");
        QTest::addColumn<int>("soft");
        QTest::addColumn<bool>("shift");
        QTest::addColumn<bool>("visibleOnly");
        QTest::addColumn<bool>("lightness");
        for (const char* picture : {"rgb.png", "rgba.png", "palette.png", "palette.bmp"}) {
            const std::string p = picture;
            QTest::newRow((p + " red to green").c_str()) << picture << 240 << 18 << 120 << false << 0 << false << false << false;
            QTest::newRow((p + " narrow").c_str()) << picture << 120 << 3 << 300 << false << 0 << false << false << false;
            QTest::newRow((p + " wide").c_str()) << picture << 200 << 36 << 0 << false << 0 << false << false << false;
            QTest::newRow((p + " at the end").c_str()) << picture << 355 << 18 << 60 << true << 0 << false << false << false;
            QTest::newRow((p + " options").c_str()) << picture << 240 << 10 << 200 << true << 20 << true << true << false;
            QTest::newRow((p + " lightness").c_str()) << picture << 240 << 18 << 120 << false << 20 << false << false << true;
        }
    }
    void maskAndPreviewEqualTheCheck()
    {
        QFETCH(QString, picture);
        QFETCH(int, source);
        QFETCH(int, tolerance);
        QFETCH(int, target);
        QFETCH(bool, wrap);
        QFETCH(int, soft);
        QFETCH(bool, shift);
        QFETCH(bool, visibleOnly);
        QFETCH(bool, lightness);
        ExeDir dir("clRed\r\n$00C8D7F5\r\nclLime\r\n");
        auto w = Open(dir);
        // Every 10 degrees of hue at two saturations and values, greys and the protected colours.
        QImage rgba(40, 4, QImage::Format_ARGB32);
        for (int x = 0; x < 40; ++x)
            for (int y = 0; y < 4; ++y) {
                QColor c = x < 36 ? QColor::fromHsv(x * 10, y % 2 ? 255 : 120, y < 2 ? 255 : 140)
                                  : QColor(QList<QColor>{Qt::red, QColor(0xf5, 0xd7, 0xc8), Qt::gray, Qt::green}[x - 36]);
                c.setAlpha((x + y) % 5 == 0 ? 0 : (x + y) % 5 == 1 ? 128 : 255);
                rgba.setPixel(x, y, c.rgba());
            }
        const std::string path = dir.File(picture.toStdString());
        if (picture == "rgba.png") QVERIFY(rgba.save(Q(path)));
        else if (picture == "rgb.png") QVERIFY(rgba.convertToFormat(QImage::Format_RGB32).save(Q(path)));
        else if (picture == "palette.png") QVERIFY(rgba.convertToFormat(QImage::Format_Indexed8).save(Q(path)));
        else QVERIFY(rgba.convertToFormat(QImage::Format_RGB32).convertToFormat(QImage::Format_Indexed8).save(Q(path)));
        Load(*w, path);
        QVERIFY(dialogs->Messages.empty());
        w->show();
        QApplication::setActiveWindow(w.get());
        QVERIFY(QTest::qWaitForWindowActive(w.get()));

        w->actWrap->setChecked(wrap);
        w->actShift->setChecked(shift);
        w->actVisibleOnly->setChecked(visibleOnly);
        w->actKeepLightness->setChecked(lightness);
        for (QAction* a : w->agSoft->actions())
            if (a->data().toInt() == soft) a->trigger();
        QTest::keyClick(w.get(), Qt::Key_M);
        QTest::keyClick(w.get(), Qt::Key_P);
        QVERIFY(w->actMask->isChecked() && w->actPreview->isChecked());
        w->tbWidth->setValue(source);
        w->tbHose->setValue(tolerance);
        w->tb->setValue(target);
        // The options reach the engine as the menu set them.
        QCOMPARE(w->LastWindow.Wrap, wrap);
        QCOMPARE(w->LastWindow.Soft, soft);
        QCOMPARE(w->LastWindow.Shift, shift);
        QCOMPARE(w->LastWindow.VisibleOnly, visibleOnly);
        QCOMPARE(w->LastWindow.KeepLightness, lightness);
        QCOMPARE(w->LastWindow.Source, source);
        QCOMPARE(w->LastWindow.Target, target);

        TPictureData preview;
        preview.Assign(*w->bmpAfter);
        const QImage mask = w->imgBefore->Overlay();
        QCOMPARE(mask.size(), QSize(40, 4));

        w->btnCheck->click();
        QCOMPARE(w->LastWindow.Soft, soft);
        QCOMPARE(preview.PaletteBits, w->bmpAfter->PaletteBits);
        QCOMPARE(preview.HasAlpha(), w->bmpAfter->HasAlpha());
        TPictureData unprotected;
        ApplyChange(*w->bmpBefore, unprotected, TProtectedColors(), w->LastWindow, true);
        int changed = 0, kept = 0;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 40; ++x) {
                const TColor was = w->bmpBefore->Image.Pixel(x, y);
                const TColor now = w->bmpAfter->Image.Pixel(x, y);
                QCOMPARE(preview.Image.Pixel(x, y), now);
                const QRgb expected = now != was ? MaskChanged
                                    : unprotected.Image.Pixel(x, y) != was ? MaskKept : QRgb(0);
                QCOMPARE(mask.pixel(x, y), expected);
                changed += expected == MaskChanged;
                kept += expected == MaskKept;
            }
        if (source == 240 && tolerance == 18) QVERIFY(changed > 0 && kept > 0);

        // M again takes the marks away; the after pane keeps what the preview made.
        QTest::keyClick(w.get(), Qt::Key_M);
        QVERIFY(w->imgBefore->Overlay().isNull());
    }

    // The mask follows the sliders; the preview acts for the check (L and save take it) and
    // makes no undo step of its own.
    void previewFollowsSliders()
    {
        ExeDir dir("clBlack\r\n");
        auto w = Open(dir);
        QVERIFY(MakeImage(3, 1, {0xff0000, 0x00ff00, 0x0000ff}).save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        const size_t steps = w->History.UndoCount();
        w->tb->setValue(300);
        w->actMask->setChecked(true);
        w->tbWidth->setValue(240);
        QCOMPARE(w->imgBefore->Overlay().pixel(0, 0), MaskChanged);
        QCOMPARE(w->imgBefore->Overlay().pixel(1, 0), QRgb(0));
        w->tbWidth->setValue(120);
        QCOMPARE(w->imgBefore->Overlay().pixel(0, 0), QRgb(0));
        QCOMPARE(w->imgBefore->Overlay().pixel(1, 0), MaskChanged);
        // The preview is off: the after pane still shows the loaded picture.
        QCOMPARE(w->bmpAfter->Image.Pixel(1, 0), clLime);

        w->actPreview->setChecked(true);
        w->tb->setValue(240);
        QCOMPARE(w->bmpAfter->Image.Pixel(1, 0), clBlue);
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(1, 0), clBlue);
        QCOMPARE(w->History.UndoCount(), steps);
        Save(*w, dir.File("out.png"));
        QCOMPARE(QImage(Q(dir.File("out.png"))).pixel(1, 0) & 0xffffff, 0x0000ffu);
        w->btnL->click();
        QCOMPARE(w->bmpBefore->Image.Pixel(1, 0), clBlue);
        // The mask now belongs to the new before picture.
        QCOMPARE(w->imgBefore->Overlay().pixel(1, 0), QRgb(0));
    }

    // The palette swap from the pane menu: FROM and TO chosen through the open dialog, the map
    // applied as a check (undo, L), the mask and the preview showing it while it is the change in
    // use; a slider or the check makes the hue window the change again, the check unchanged.
    void paletteMapActsAsACheck()
    {
        ExeDir dir("clBlue\r\n");
        auto w = Open(dir);
        QVERIFY(MakeImage(3, 1, {0xff0000, 0x00ff00, 0x0000ff}).save(Q(dir.File("s.png"))));
        WriteFile(dir.File("from.hex"), "ff0000\n0000ff\n");
        WriteFile(dir.File("to.gpl"), "GIMP Palette\n255 255 0 yellow\n0 255 255 cyan\n");
        WriteFile(dir.File("short.hex"), "ffff00\n");
        Load(*w, dir.File("s.png"));
        QStringList texts;
        for (QAction* a : w->PaneMenu->actions()) texts << a->text();
        QVERIFY(texts.contains(QStringLiteral("ﾊﾟﾚｯﾄで色を置き換える(&R)...")));
        QVERIFY(!w->actPaletteMap->isChecked());
        const size_t steps = w->History.UndoCount();

        // Cancelled, or files that make no map: nothing changes, and the user is told why.
        dialogs->OpenAnswers = {dir.File("from.hex"), std::nullopt};
        w->actPaletteMap->trigger();
        QVERIFY(!w->actPaletteMap->isChecked());
        dialogs->OpenAnswers = {dir.File("from.hex"), dir.File("short.hex")};
        w->actPaletteMap->trigger();
        QVERIFY(!w->actPaletteMap->isChecked());
        QCOMPARE(dialogs->Messages.size(), size_t(1));
        QVERIFY(dialogs->Messages[0].Text.find("FROM has 2 colours and TO has 1") != std::string::npos);
        QCOMPARE(w->History.UndoCount(), steps);
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clRed);

        // Red becomes yellow; blue would become cyan but the list keeps it.
        dialogs->OpenAnswers = {dir.File("from.hex"), dir.File("to.gpl")};
        w->actPaletteMap->trigger();
        QVERIFY(w->actPaletteMap->isChecked());
        QCOMPARE(w->PaletteFrom, dir.File("from.hex"));
        QCOMPARE(w->PaletteTo, dir.File("to.gpl"));
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), Rgb(255, 255, 0));
        QCOMPARE(w->bmpAfter->Image.Pixel(1, 0), clLime);
        QCOMPARE(w->bmpAfter->Image.Pixel(2, 0), clBlue);
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clRed);
        QCOMPARE(w->History.UndoCount(), steps + 1);
        w->Undo();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clRed);
        w->Redo();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), Rgb(255, 255, 0));

        // The mask marks what the map changes and what the list keeps from it.
        w->actMask->setChecked(true);
        QCOMPARE(w->imgBefore->Overlay().pixel(0, 0), MaskChanged);
        QCOMPARE(w->imgBefore->Overlay().pixel(1, 0), QRgb(0));
        QCOMPARE(w->imgBefore->Overlay().pixel(2, 0), MaskKept);
        // The preview follows the map: after L the before picture has no FROM colour left.
        w->actPreview->setChecked(true);
        w->btnL->click();
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), Rgb(255, 255, 0));
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), Rgb(255, 255, 0));
        QCOMPARE(w->imgBefore->Overlay().pixel(0, 0), QRgb(0));
        w->Undo(); // L undone: red again before, the preview shows it mapped
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clRed);
        w->UpdateLive();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), Rgb(255, 255, 0));

        // A slider moved: the hue window is the change again, for the mask and the preview.
        w->tb->setValue(120);
        w->tbWidth->setValue(240); // red's window
        QVERIFY(!w->actPaletteMap->isChecked());
        QCOMPARE(w->imgBefore->Overlay().pixel(0, 0), MaskChanged);
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clLime);
        w->actPreview->setChecked(false);

        // The check is the hue window's whatever was chosen before it.
        dialogs->OpenAnswers = {dir.File("from.hex"), dir.File("to.gpl")};
        w->actPaletteMap->trigger();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), Rgb(255, 255, 0));
        w->btnCheck->click();
        QVERIFY(!w->actPaletteMap->isChecked());
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clLime);
        QCOMPARE(w->LastWindow.Source, 240);
        // The item unchecked by hand: the mask is the hue window's again.
        dialogs->OpenAnswers = {dir.File("from.hex"), dir.File("to.gpl")};
        w->actPaletteMap->trigger();
        w->tbWidth->blockSignals(true);
        w->tbWidth->setValue(0);
        w->tbWidth->blockSignals(false);
        w->UpdateLive();
        QCOMPARE(w->imgBefore->Overlay().pixel(0, 0), MaskChanged); // the map's
        w->actPaletteMap->trigger();
        QVERIFY(!w->actPaletteMap->isChecked());
        QCOMPARE(w->imgBefore->Overlay().pixel(0, 0), QRgb(0)); // source 0 catches blue, not red

        // With a selection the map keeps to it, as the check does.
        WriteFile(dir.File("from2.hex"), "ff0000\n00ff00\n");
        WriteFile(dir.File("to2.hex"), "ffff00\n000000\n");
        w->SetSelection(TRegionRect{1, 0, 1, 1});
        dialogs->OpenAnswers = {dir.File("from2.hex"), dir.File("to2.hex")};
        w->actPaletteMap->trigger();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clRed);
        QCOMPARE(w->bmpAfter->Image.Pixel(1, 0), clBlack);
        QVERIFY(w->LastSelection == (TRegionRect{1, 0, 1, 1}));
        QCOMPARE(w->imgBefore->Overlay().pixel(0, 0), QRgb(0));
        QCOMPARE(w->imgBefore->Overlay().pixel(1, 0), MaskChanged);
    }

    // ---------------------------------------------------------------- a selected rectangle

    // A Shift+drag on the before pane selects a rectangle, framed on both panes; the check, the
    // mask and the preview then apply inside it only, exactly as the change kept to it; a plain
    // click and a Shift+click still pick, a drag picks nothing; Esc clears the selection.
    void selectionKeepsCheckMaskAndPreviewInside()
    {
        ExeDir dir("clRed\r\n");
        auto w = Open(dir);
        QImage picture(12, 6, QImage::Format_RGB32);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 12; ++x)
                picture.setPixel(x, y, (x + y) % 5 == 0 ? qRgb(255, 0, 0) : QColor::fromHsv((x * 7 + y * 3) % 40, 200, 230).rgb());
        QVERIFY(picture.save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        w->show();
        QApplication::setActiveWindow(w.get());
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        SelectZoom(*w, 1);
        const auto at = [](int x, int y) { return QPoint(2 * x + 1, 2 * y + 1); };
        const auto picked = [&](int x, int y) { return *PickedSourcePosition(w->bmpBefore->Image.Pixel(x, y)); };

        // A plain click and a Shift+click pick as they always have, and select nothing.
        QTest::mouseClick(w->imgBefore, Qt::LeftButton, {}, at(3, 2));
        QCOMPARE(w->tbWidth->value(), picked(3, 2));
        QTest::mouseClick(w->imgBefore, Qt::LeftButton, Qt::ShiftModifier, at(6, 1));
        QCOMPARE(w->tbWidth->value(), picked(6, 1));
        QVERIFY(!w->Selection());
        QVERIFY(w->imgBefore->Frame().isNull());
        QVERIFY(!w->actClearSelection->isEnabled());

        // A Shift+drag from pixel (7, 4) to (2, 1) selects columns 2 to 7 of rows 1 to 4; the
        // source stays where it was before the press.
        w->tbWidth->setValue(238);
        w->tbHose->setValue(20);
        w->tb->setValue(120);
        QTest::mousePress(w->imgBefore, Qt::LeftButton, Qt::ShiftModifier, at(7, 4));
        QTest::mouseMove(w->imgBefore, at(4, 3));
        QTest::mouseMove(w->imgBefore, at(2, 1));
        QTest::mouseRelease(w->imgBefore, Qt::LeftButton, Qt::ShiftModifier, at(2, 1));
        const TRegionRect rect{2, 1, 6, 4};
        QVERIFY(w->Selection() == rect);
        QCOMPARE(w->tbWidth->value(), 238);
        QCOMPARE(w->imgBefore->Frame(), QRect(2, 1, 6, 4));
        QCOMPARE(w->imgAfter->Frame(), QRect(2, 1, 6, 4));
        QVERIFY(w->actClearSelection->isEnabled());
        // A plain click inside still picks and keeps the selection.
        QTest::mouseClick(w->imgBefore, Qt::LeftButton, {}, at(5, 2));
        QCOMPARE(w->tbWidth->value(), picked(5, 2));
        QVERIFY(w->Selection() == rect);
        w->tbWidth->setValue(238);

        // The mask and the preview: the change kept to the rectangle.
        w->actMask->setChecked(true);
        w->actPreview->setChecked(true);
        QVERIFY(w->LastSelection == rect);
        const TChangeRegion region{rect, nullptr};
        const TProtectedColors list(*w->ColorList);
        TPictureData expected, unprotected, whole;
        ApplyChange(*w->bmpBefore, expected, list, w->LastWindow, false, nullptr, 1, region);
        ApplyChange(*w->bmpBefore, unprotected, TProtectedColors(), w->LastWindow, true, nullptr, 1, region);
        ApplyChange(*w->bmpBefore, whole, list, w->LastWindow);
        const QImage mask = w->imgBefore->Overlay();
        int inside = 0, outside = 0, kept = 0;
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 12; ++x) {
                const TColor was = w->bmpBefore->Image.Pixel(x, y);
                QCOMPARE(w->bmpAfter->Image.Pixel(x, y), expected.Image.Pixel(x, y));
                const bool in = x >= 2 && x < 8 && y >= 1 && y < 5;
                if (!in) {
                    QCOMPARE(expected.Image.Pixel(x, y), was);
                    QCOMPARE(mask.pixel(x, y), QRgb(0));
                    outside += whole.Image.Pixel(x, y) != was;
                    continue;
                }
                QCOMPARE(expected.Image.Pixel(x, y), whole.Image.Pixel(x, y));
                const QRgb mark = was != expected.Image.Pixel(x, y) ? MaskChanged
                                : unprotected.Image.Pixel(x, y) != was ? MaskKept : QRgb(0);
                QCOMPARE(mask.pixel(x, y), mark);
                inside += mark == MaskChanged;
                kept += mark == MaskKept;
            }
        QVERIFY(inside > 0 && kept > 0 && outside > 0);

        // The check: the same.
        w->actPreview->setChecked(false);
        w->btnR->click();
        w->btnCheck->click();
        QVERIFY(w->LastSelection == rect);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 12; ++x) QCOMPARE(w->bmpAfter->Image.Pixel(x, y), expected.Image.Pixel(x, y));

        // Esc clears it: the frame goes, and the mask marks the whole picture again.
        QTest::keyClick(w.get(), Qt::Key_Escape);
        QVERIFY(!w->Selection());
        QVERIFY(w->imgBefore->Frame().isNull() && w->imgAfter->Frame().isNull());
        QVERIFY(!w->LastSelection);
        int marked = 0;
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 12; ++x) marked += w->imgBefore->Overlay().pixel(x, y) == MaskChanged;
        QCOMPARE(marked, inside + outside);
        // So does the pane menu's entry.
        QTest::mousePress(w->imgBefore, Qt::LeftButton, Qt::ShiftModifier, at(0, 0));
        QTest::mouseMove(w->imgBefore, at(1, 1));
        QTest::mouseRelease(w->imgBefore, Qt::LeftButton, Qt::ShiftModifier, at(1, 1));
        QVERIFY(w->Selection() == (TRegionRect{0, 0, 2, 2}));
        w->actClearSelection->trigger();
        QVERIFY(!w->Selection());
    }

    // Undo and redo bring the selection back with the pictures; a load clears it; a drag past
    // the picture's edge stops at it.
    void selectionFollowsUndoAndLoad()
    {
        ExeDir dir("");
        auto w = Open(dir);
        QImage picture(8, 5, QImage::Format_RGB32);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 8; ++x) picture.setPixel(x, y, QColor::fromHsv((x * 45) % 360, 255, 255).rgb());
        QVERIFY(picture.save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const auto drag = [&](QPoint from, QPoint to) {
            QTest::mousePress(w->imgBefore, Qt::LeftButton, Qt::ShiftModifier, from);
            QTest::mouseMove(w->imgBefore, to);
            QTest::mouseRelease(w->imgBefore, Qt::LeftButton, Qt::ShiftModifier, to);
        };
        drag(QPoint(1, 1), QPoint(3, 2));
        const TRegionRect first{1, 1, 3, 2};
        QVERIFY(w->Selection() == first);
        w->tbWidth->setValue(195); // hues 9 to 81: column 1, hue 45
        w->tbHose->setValue(36);
        w->tb->setValue(200);
        w->btnCheck->click();
        const TColor changed = w->bmpAfter->Image.Pixel(1, 1);
        QVERIFY(changed != w->bmpBefore->Image.Pixel(1, 1));
        QCOMPARE(w->bmpAfter->Image.Pixel(1, 0), w->bmpBefore->Image.Pixel(1, 0));
        // Past the edge: up to the last column and row.
        drag(QPoint(6, 3), QPoint(60, 40));
        const TRegionRect second{6, 3, 2, 2};
        QVERIFY(w->Selection() == second);
        w->btnL->click();
        QVERIFY2(w->Selection() == second, "« keeps the picture's size and the selection");
        w->btnCheck->click();

        QTest::keyClick(w.get(), Qt::Key_Z, Qt::ControlModifier); // the second check
        QVERIFY(w->Selection() == second);
        QTest::keyClick(w.get(), Qt::Key_Z, Qt::ControlModifier); // «
        QTest::keyClick(w.get(), Qt::Key_Z, Qt::ControlModifier); // the first check
        QVERIFY(w->Selection() == first);
        QCOMPARE(w->imgBefore->Frame(), QRect(1, 1, 3, 2));
        QCOMPARE(w->bmpAfter->Image.Pixel(1, 1), w->bmpBefore->Image.Pixel(1, 1));
        // Redo: the first check's result, with the selection it had then (the second one).
        QTest::keyClick(w.get(), Qt::Key_Y, Qt::ControlModifier);
        QVERIFY(w->Selection() == second);
        QCOMPARE(w->bmpAfter->Image.Pixel(1, 1), changed);

        Load(*w, dir.File("s.png"));
        QVERIFY(!w->Selection());
        QVERIFY(w->imgAfter->Frame().isNull());
        QTest::keyClick(w.get(), Qt::Key_Z, Qt::ControlModifier); // the load
        QVERIFY(w->Selection() == second);
    }

    // A large picture's mask and preview run off the interface thread: the event loop keeps
    // running meanwhile, and the newest settings win.
    void largePictureLiveRunsOffThread()
    {
        ExeDir dir("clBlack\r\n");
        auto w = Open(dir);
        QImage big(600, 400, QImage::Format_RGB32);
        for (int y = 0; y < 400; ++y)
            for (int x = 0; x < 600; ++x) big.setPixel(x, y, QColor::fromHsv((x + y) % 360, 200, 230).rgb());
        QVERIFY(big.save(Q(dir.File("big.png"))));
        Load(*w, dir.File("big.png"));
        w->LiveSyncPixels = 1000;
        w->actMask->setChecked(true);
        w->actPreview->setChecked(true);
        QVERIFY(w->AsyncLiveRuns >= 1);
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(0);
        for (int p = 0; p < 360; p += 40) w->tbWidth->setValue(p);
        w->tb->setValue(77);
        QTRY_VERIFY(!w->LiveBusy());
        QVERIFY(ticks > 0);
        QVERIFY(w->AsyncLiveRuns >= 2);
        TPictureData preview;
        preview.Assign(*w->bmpAfter);
        const QImage mask = w->imgBefore->Overlay();
        w->btnCheck->click();
        for (int y = 0; y < 400; y += 7)
            for (int x = 0; x < 600; x += 3) {
                QCOMPARE(preview.Image.Pixel(x, y), w->bmpAfter->Image.Pixel(x, y));
                QCOMPARE(mask.pixel(x, y) == MaskChanged,
                         w->bmpAfter->Image.Pixel(x, y) != w->bmpBefore->Image.Pixel(x, y));
            }
    }

    // ---------------------------------------------------------------- comfort

    // The title names the loaded file, marked while the result is unsaved; the save dialog
    // suggests <name>_<target hue>.png beside it; an existing name is only replaced on a yes.
    void titleSuggestionAndOverwriteQuestion()
    {
        ExeDir dir;
        auto w = Open(dir);
        fs::create_directory(dir.File("art"));
        QVERIFY(MakeImage(2, 1, {0xff0000, 0x0000ff}).save(Q(dir.File("art/hero.png"))));
        QCOMPARE(w->windowTitle(), QStringLiteral("Tintabrel"));
        Load(*w, dir.File("art/hero.png"));
        QCOMPARE(w->windowTitle(), QStringLiteral("hero.png - Tintabrel"));
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        QCOMPARE(w->windowTitle(), QStringLiteral("*hero.png - Tintabrel"));

        Save(*w, dir.File("art/hero_120.png"));
        QCOMPARE(Q(dialogs->SaveSuggestions.back()), Q(dir.File("art/hero_120.png")));
        QVERIFY(dialogs->Questions.empty());
        QCOMPARE(w->windowTitle(), QStringLiteral("hero.png - Tintabrel"));
        // R shows a picture other than the saved one; undo brings the saved one back.
        w->btnR->click();
        QCOMPARE(w->windowTitle(), QStringLiteral("*hero.png - Tintabrel"));
        w->Undo();
        QCOMPARE(w->windowTitle(), QStringLiteral("hero.png - Tintabrel"));

        // An existing name: asked; no keeps the file, yes replaces it.
        const std::string target = dir.File("art/hero_120.png");
        WriteFile(target, "old");
        dialogs->ConfirmAnswers.push_back(false);
        Save(*w, target);
        QCOMPARE(dialogs->Questions.size(), size_t(1));
        QCOMPARE(Q(dialogs->Questions[0]), Q(target + " は既に存在します。\n上書きしますか?"));
        QCOMPARE(ReadFile(target), std::string("old"));
        dialogs->ConfirmAnswers.push_back(true);
        Save(*w, target);
        QCOMPARE(dialogs->Questions.size(), size_t(2));
        QCOMPARE(QImage(Q(target)).size(), QSize(2, 1));
        QVERIFY(dialogs->Messages.empty());
    }

    // Keys for the check, L, R and the zoom steps, named in the tooltips; Ctrl+wheel zooms too.
    void keyboardShortcuts()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QApplication::setActiveWindow(w.get());
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QVERIFY(MakeImage(2, 1, {0xff0000, 0x0000ff}).save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        QTest::keyClick(w.get(), Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clLime);
        QTest::keyClick(w.get(), Qt::Key_Right, Qt::ControlModifier);
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clRed);
        QTest::keyClick(w.get(), Qt::Key_Return, Qt::ControlModifier);
        QTest::keyClick(w.get(), Qt::Key_Left, Qt::ControlModifier);
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clLime);

        QTest::keyClick(w.get(), Qt::Key_Plus);
        QCOMPARE(w->rgZoom->ItemIndex(), 1);
        QCOMPARE(w->imgBefore->size(), QSize(4, 2));
        for (int k = 0; k < 6; ++k) QTest::keyClick(w.get(), Qt::Key_Plus);
        QCOMPARE(w->rgZoom->ItemIndex(), 4);
        QTest::keyClick(w.get(), Qt::Key_Minus);
        QCOMPARE(w->rgZoom->ItemIndex(), 3);
        QCOMPARE(w->imgAfter->size(), QSize(8, 4));

        QWheelEvent down(QPointF(5, 5), w->sbBefore->viewport()->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120),
                         Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(w->sbBefore->viewport(), &down);
        QCOMPARE(w->rgZoom->ItemIndex(), 2);

        QVERIFY(w->btnCheck->toolTip().contains(QStringLiteral("Ctrl+Enter")));
        QVERIFY(w->btnCheck->toolTip().startsWith(QStringLiteral("色合いの変化を設定し終わったら")));
        QVERIFY(w->btnL->toolTip().contains(QStringLiteral("Ctrl+←")));
        QVERIFY(w->btnR->toolTip().contains(QStringLiteral("Ctrl+→")));
        QVERIFY(w->rgZoom->toolTip().contains(QStringLiteral("+ / -")));
    }

    // The panes scroll together, and undo brings back the scroll position of its step.
    void panesScrollTogetherAndUndoKeepsScroll()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QImage big(120, 120, QImage::Format_RGB32);
        big.fill(0xff0000);
        QVERIFY(big.save(Q(dir.File("big.png"))));
        Load(*w, dir.File("big.png"));
        SelectZoom(*w, 4);
        w->sbBefore->horizontalScrollBar()->setValue(200);
        w->sbAfter->verticalScrollBar()->setValue(150);
        QCOMPARE(w->sbAfter->horizontalScrollBar()->value(), 200);
        QCOMPARE(w->sbBefore->verticalScrollBar()->value(), 150);
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        w->sbBefore->horizontalScrollBar()->setValue(0);
        w->sbBefore->verticalScrollBar()->setValue(0);
        w->Undo();
        QCOMPARE(w->rgZoom->ItemIndex(), 4);
        QCOMPARE(w->sbBefore->horizontalScrollBar()->value(), 200);
        QCOMPARE(w->sbAfter->verticalScrollBar()->value(), 150);
    }

    // While dragged, the source and target sliders show their hue in degrees and its colour.
    void slidersShowHueWhileDragged_data()
    {
        QTest::addColumn<bool>("source");
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("hue");
        QTest::addColumn<QString>("colour");
        QTest::newRow("source red") << true << 240 << 0 << "#ff0000";
        QTest::newRow("source blue") << true << 0 << 240 << "#0000ff";
        QTest::newRow("source green") << true << 120 << 120 << "#00ff00";
        QTest::newRow("source 250") << true << 250 << 350 << "";
        QTest::newRow("target green") << false << 120 << 120 << "#00ff00";
        QTest::newRow("target 360") << false << 360 << 0 << "#ff0000";
    }
    void slidersShowHueWhileDragged()
    {
        QFETCH(bool, source);
        QFETCH(int, position);
        QFETCH(int, hue);
        QFETCH(QString, colour);
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QSlider* slider = source ? w->tbWidth : w->tb;
        const QString hint = slider->toolTip();
        slider->setSliderDown(true);
        slider->setSliderPosition(position);
        QTRY_VERIFY(QToolTip::isVisible());
        QVERIFY2(QToolTip::text().contains(QString::fromUtf8("色相 %1°").arg(hue)), qPrintable(QToolTip::text()));
        if (!colour.isEmpty()) QVERIFY(QToolTip::text().contains(colour));
        slider->setSliderDown(false);
        QCOMPARE(slider->toolTip(), hint);
    }

    // Large loads, checks and saves run off the interface thread: the event loop keeps running
    // (a timer fires), the cursor is busy and the progress bar shows, input that would change
    // the pictures waits; the results are those of the ordinary run.
    void largePictureWorkKeepsEventLoopRunning()
    {
        ExeDir dir("clBlack\r\n");
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QImage big(400, 300, QImage::Format_RGB32);
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 400; ++x) big.setPixel(x, y, QColor::fromHsv((x + 2 * y) % 360, 255, 255).rgb());
        QVERIFY(big.save(Q(dir.File("big.png"))));
        w->BusyPixels = 1000;
        int ticks = 0, busyTicks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] {
            ++ticks;
            if (!w->Busy()) return;
            ++busyTicks;
            QVERIFY(QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::BusyCursor);
            QVERIFY(w->pbBusy->isVisible());
            QVERIFY(!w->btnCheck->isEnabled() && !w->btnLoad->isEnabled());
            w->btnL->click(); // waits: nothing happens
            w->Undo();
        });
        timer.start(0);

        Load(*w, dir.File("big.png"));
        QCOMPARE(w->bmpBefore->Image.Width(), 400);
        const int afterLoad = busyTicks;
        QVERIFY(afterLoad > 0);
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        QVERIFY(busyTicks > afterLoad);
        const int afterCheck = busyTicks;
        Save(*w, dir.File("out.png"));
        QVERIFY(busyTicks > afterCheck);
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(!w->Busy() && !w->pbBusy->isVisible() && w->btnCheck->isEnabled());
        QVERIFY(!QApplication::overrideCursor());

        TPictureData expected;
        ApplyChange(*w->bmpBefore, expected, TProtectedColors(*w->ColorList), w->LastWindow);
        const QImage saved(Q(dir.File("out.png")));
        for (int y = 0; y < 300; y += 5)
            for (int x = 0; x < 400; x += 3) {
                QCOMPARE(w->bmpAfter->Image.Pixel(x, y), expected.Image.Pixel(x, y));
                QCOMPARE(ColorOf(saved.pixel(x, y)), expected.Image.Pixel(x, y));
            }
        // The L clicks while busy changed nothing: the before picture is still the loaded one.
        QCOMPARE(w->bmpBefore->Image.Pixel(0, 0), clRed);
        QVERIFY(ticks >= busyTicks);
    }

    // F fits the picture to the pane (smaller or larger than x1), clicks pick the pixel under
    // the pointer at that scale, and a chosen zoom or a zoom step leaves the fit.
    void fitToPane()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QApplication::setActiveWindow(w.get());
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QImage big(600, 300, QImage::Format_RGB32);
        big.fill(0x0000ff);
        for (int y = 0; y < 300; ++y)
            for (int x = 300; x < 600; ++x) big.setPixel(x, y, 0xff0000);
        QVERIFY(big.save(Q(dir.File("big.png"))));
        Load(*w, dir.File("big.png"));
        const QSize room = w->sbBefore->viewport()->size();
        QTest::keyClick(w.get(), Qt::Key_F);
        QVERIFY(w->actFit->isChecked());
        QCOMPARE(w->imgBefore->width(), room.width());
        QCOMPARE(w->imgBefore->height(), room.width() / 2);
        QCOMPARE(w->imgAfter->size(), w->imgBefore->size());
        // The right half is red: a click there picks red (source 235), the left half blue.
        QTest::mousePress(w->imgBefore, Qt::LeftButton, {}, QPoint(room.width() * 3 / 4, 10));
        QCOMPARE(w->tbWidth->value(), 235);
        QTest::mousePress(w->imgBefore, Qt::LeftButton, {}, QPoint(room.width() / 4, 10));
        QCOMPARE(w->tbWidth->value(), 355);

        QTest::keyClick(w.get(), Qt::Key_Plus);
        QVERIFY(!w->actFit->isChecked());
        QCOMPARE(w->imgBefore->size(), QSize(1200, 600));
        QTest::keyClick(w.get(), Qt::Key_F);
        SelectZoom(*w, 0);
        QVERIFY(!w->actFit->isChecked());
        QCOMPARE(w->imgBefore->size(), QSize(600, 300));

        // A small sprite grows to the pane.
        QVERIFY(MakeImage(2, 2, {0xff0000, 0x00ff00, 0x0000ff, 0xffffff}).save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        QTest::keyClick(w.get(), Qt::Key_F);
        const int side = std::min(room.width(), room.height());
        QCOMPARE(w->imgBefore->size(), QSize(side, side));
    }

    // A right click on either pane opens the pane menu with its items in Japanese.
    void paneMenuOnRightClick()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        for (TImage* pane : {w->imgBefore, w->imgAfter}) {
            QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2), pane->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(pane, &event);
            QTRY_VERIFY(w->PaneMenu->isVisible());
            w->PaneMenu->hide();
        }
        QStringList texts;
        for (QAction* a : w->PaneMenu->actions())
            if (!a->isSeparator()) texts << a->text();
        QVERIFY(texts.contains(QStringLiteral("変化する画素を表示(&M)")));
        QVERIFY(texts.contains(QStringLiteral("変化をその場で表示(&P)")));
        QVERIFY(texts.contains(QStringLiteral("境界をぼかす(&E)")));
        QCOMPARE(w->actMask->shortcut(), QKeySequence(Qt::Key_M));
        QCOMPARE(w->actPreview->shortcut(), QKeySequence(Qt::Key_P));
        // Everything added beyond the original window is off by default, the checkerboard on.
        for (QAction* a : {w->actMask, w->actPreview, w->actFit, w->actWrap, w->actShift, w->actVisibleOnly})
            QVERIFY(!a->isChecked());
        QVERIFY(w->actChecker->isChecked());
        QVERIFY(w->CurrentWindow().Plain());
    }

    // The window goes the tool's way: its load, check and save are runs of the picture pipeline,
    // so a save keeps what the file said beside its pixels (gamma, texts) and still stamps its
    // time; and a format added to the table loads with nothing else changed.
    void loadCheckAndSaveGoThroughThePipeline()
    {
        ExeDir dir;
        auto w = Open(dir);
        TBitmap image;
        image.SetPixelFormat(TPixelFormat::pf24bit);
        image.SetSize(6, 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) image.SetPixel(x, y, x < 3 ? TColor(0x2020C0) : TColor(0xC02020));
        {
            TVRQPNG png;
            png.Assign(image);
            png.Gamma = 0.55;
            png.Comment = "hero";
            png.UseCurrentTime = false;
            png.SaveToFile(dir.File("in.png"));
        }
        const uint64_t before = PipelineRunsForTesting();
        Load(*w, dir.File("in.png"));
        QCOMPARE(PipelineRunsForTesting(), before + 1);
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        QCOMPARE(PipelineRunsForTesting(), before + 2);
        QVERIFY(w->bmpAfter->Image.Pixel(0, 0) != TColor(0x2020C0));
        Save(*w, dir.File("out.png"));
        QCOMPARE(PipelineRunsForTesting(), before + 3);
        QVERIFY(dialogs->Messages.empty());
        TVRQPNG saved;
        saved.LoadFromFile(dir.File("out.png"));
        QCOMPARE(saved.Gamma, 0.55);
        QCOMPARE(saved.Comment, std::string("hero\r\n"));
        QVERIFY(saved.TimeStamp.Year >= 2024); // the save's own time

        // A made-up format: "WTNY", width and height bytes, then grey bytes.
        static const TPictureKind tiny = RegisterPictureFormat(
            {"WTNY", "wtny", {".wtny"},
             [](const uint8_t* b, size_t n) { return n >= 4 && std::memcmp(b, "WTNY", 4) == 0; },
             [](TStream& stream, TPictureHeader& header) {
                 uint8_t head[6] = {};
                 if (stream.Read(head, 6) < 6) return;
                 header.Width = head[4];
                 header.Height = head[5];
                 header.Complete = true;
             },
             nullptr,
             [](TStream& stream, TPictureData& data, const TLoadOptions&) {
                 uint8_t head[6] = {};
                 stream.ReadBuffer(head, 6);
                 data.Image.Clear();
                 data.Image.SetPixelFormat(TPixelFormat::pf24bit);
                 data.Image.SetSize(head[4], head[5]);
                 for (int y = 0; y < head[5]; ++y)
                     for (int x = 0; x < head[4]; ++x) {
                         uint8_t grey = 0;
                         stream.ReadBuffer(&grey, 1);
                         data.Image.SetPixel(x, y, TColor(grey * 0x010101));
                     }
             },
             nullptr, 0, "bad size"});
        QVERIFY(tiny != nullptr);
        WriteFile(dir.File("grey.wtny"), std::string("WTNY\x02\x01\x40\x80", 8));
        Load(*w, dir.File("grey.wtny"));
        QVERIFY2(dialogs->Messages.empty(), dialogs->Messages.empty() ? "" : dialogs->Messages[0].Text.c_str());
        QCOMPARE(w->bmpBefore->Image.Width(), 2);
        QCOMPARE(w->bmpBefore->Image.Pixel(1, 0), TColor(0x808080));
    }

    // The refusal of hollow files takes no good file: every picture of the BMP suite's good set
    // loads; a legal run-length BMP that ends at once is decoded as far as it goes (black), as the
    // command-line tool decodes it: one way in decides for both.
    void hollowCheckKeepsGoodFiles()
    {
        ExeDir dir;
        auto w = Open(dir);
        int loaded = 0;
        for (const auto& entry : fs::directory_iterator(std::string(TINTABREL_DATA_DIR) + "/../tests/data/bmpsuite/g")) {
            if (entry.path().extension() != ".bmp") continue;
            w->bmpBefore->Image.Clear();
            Load(*w, entry.path().string());
            const std::string said = dialogs->Messages.empty() ? std::string() : dialogs->Messages[0].Text;
            QVERIFY2(dialogs->Messages.empty(), (entry.path().string() + ": " + said).c_str());
            QVERIFY2(!w->bmpBefore->Image.Empty(), entry.path().c_str());
            ++loaded;
        }
        QVERIFY(loaded > 20);

        // An 8-bit run-length BMP of 4096 x 4096 whose data is one end-of-picture code.
        std::string rle = FourBitBmp(4096, 4096, 0);
        rle[28] = 8;            // bits per pixel
        rle[30] = 1;            // BI_RLE8
        rle[46] = 16;           // colours used
        rle += std::string("\0\1", 2);
        WriteFile(dir.File("rle.bmp"), rle);
        Load(*w, dir.File("rle.bmp"));
        QVERIFY2(dialogs->Messages.empty(), dialogs->Messages.empty() ? "" : dialogs->Messages[0].Text.c_str());
        QCOMPARE(w->bmpBefore->Image.Width(), 4096);
        QCOMPARE(w->bmpBefore->Image.Height(), 4096);
        QCOMPARE(w->bmpBefore->Image.Pixel(2000, 2000), TColor(0));
    }

    // ---------------------------------------------------------------- a right click, closing, open with

    // A right or middle click on the before pane opens the menu (the right one) and moves no
    // slider; the left click still picks.
    void rightClickOnlyOpensMenu()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QVERIFY(MakeImage(2, 1, {0xff0000, 0x00ff00}).save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        SelectZoom(*w, 4);
        w->tbWidth->setValue(150);
        w->tb->setValue(200);
        w->tbHose->setValue(10);
        for (const QPoint at : {QPoint(2, 2), QPoint(7, 3)}) {
            // Through the window, as the platform delivers it: the press, then the menu request.
            const QPoint inWindow = w->imgBefore->mapTo(w.get(), at);
            QTest::mousePress(w->windowHandle(), Qt::RightButton, {}, inWindow);
            QTRY_VERIFY(w->PaneMenu->isVisible());
            w->PaneMenu->hide();
            QTest::mouseRelease(w->windowHandle(), Qt::RightButton, {}, inWindow);
            QTest::mousePress(w->windowHandle(), Qt::MiddleButton, {}, inWindow);
            QTest::mouseRelease(w->windowHandle(), Qt::MiddleButton, {}, inWindow);
            QCOMPARE(w->tbWidth->value(), 150);
            QCOMPARE(w->tb->value(), 200);
            QCOMPARE(w->tbHose->value(), 10);
        }
        QTest::mousePress(w->imgBefore, Qt::LeftButton, {}, QPoint(2, 2));
        QCOMPARE(w->tbWidth->value(), 235);
    }

    // Closing asks (save, discard, cancel) only while the after pane holds a result not yet
    // saved; a save that does not happen keeps the window open.
    void closeAsksAboutUnsavedWork_data()
    {
        QTest::addColumn<QString>("work");   // nothing, loaded, saved, checked
        QTest::addColumn<int>("answer");     // TSaveAnswer; -1: none expected
        QTest::addColumn<QString>("saveAs"); // the save dialog's answer; empty: cancelled
        QTest::addColumn<bool>("closes");
        QTest::newRow("nothing loaded") << "nothing" << -1 << "" << true;
        QTest::newRow("loaded, unchanged") << "loaded" << -1 << "" << true;
        QTest::newRow("checked and saved") << "saved" << -1 << "" << true;
        QTest::newRow("cancel") << "checked" << int(TSaveAnswer::Cancel) << "" << false;
        QTest::newRow("discard") << "checked" << int(TSaveAnswer::Discard) << "" << true;
        QTest::newRow("save") << "checked" << int(TSaveAnswer::Save) << "out.png" << true;
        QTest::newRow("save, dialog cancelled") << "checked" << int(TSaveAnswer::Save) << "" << false;
        QTest::newRow("save fails") << "checked" << int(TSaveAnswer::Save) << "no/such/x.png" << false;
        QTest::newRow("save, unknown type") << "checked" << int(TSaveAnswer::Save) << "out.tga" << false;
    }
    void closeAsksAboutUnsavedWork()
    {
        QFETCH(QString, work);
        QFETCH(int, answer);
        QFETCH(QString, saveAs);
        QFETCH(bool, closes);
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QVERIFY(MakeImage(2, 1, {0xff0000, 0x0000ff}).save(Q(dir.File("s.png"))));
        if (work != "nothing") Load(*w, dir.File("s.png"));
        if (work == "saved" || work == "checked") {
            w->tbWidth->setValue(240);
            w->tb->setValue(120);
            w->btnCheck->click();
        }
        if (work == "saved") Save(*w, dir.File("kept.png"));
        QCOMPARE(w->Unsaved(), work == "checked");
        QCOMPARE(w->windowTitle().startsWith('*'), work == "checked");
        if (answer >= 0) dialogs->SaveChangesAnswers.push_back(TSaveAnswer(answer));
        if (answer == int(TSaveAnswer::Save)) {
            std::optional<std::string> chosen;
            if (!saveAs.isEmpty()) chosen = dir.File(saveAs.toStdString());
            dialogs->SaveAnswers.push_back(chosen);
        }
        const size_t messages = dialogs->Messages.size();

        QCOMPARE(w->close(), closes);
        QCOMPARE(w->isVisible(), !closes);
        QCOMPARE(dialogs->SaveChangesQuestions.size(), size_t(answer >= 0 ? 1 : 0));
        if (answer >= 0)
            QCOMPARE(Q(dialogs->SaveChangesQuestions[0]),
                     QStringLiteral("変更した絵はまだ保存されていません。\n閉じる前に保存しますか?"));
        QVERIFY(dialogs->SaveAnswers.empty());
        if (!closes) {
            // Nothing is lost: the result is still there, still marked.
            QVERIFY(w->bmpAfter);
            QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clLime);
            QVERIFY(w->windowTitle().startsWith('*'));
        }
        if (saveAs == "out.png") QCOMPARE(QImage(Q(dir.File("out.png"))).pixel(0, 0), qRgb(0, 255, 0));
        if (saveAs == "no/such/x.png" || saveAs == "out.tga") QCOMPARE(dialogs->Messages.size(), messages + 1);
        else QCOMPARE(dialogs->Messages.size(), messages);
    }

    // The question itself: Japanese buttons, save the default, Escape cancels.
    void saveQuestionIsJapanese_data()
    {
        QTest::addColumn<int>("button"); // index into save, discard, cancel; 3: Escape
        QTest::addColumn<int>("answer");
        QTest::newRow("save") << 0 << int(TSaveAnswer::Save);
        QTest::newRow("discard") << 1 << int(TSaveAnswer::Discard);
        QTest::newRow("cancel") << 2 << int(TSaveAnswer::Cancel);
        QTest::newRow("escape") << 3 << int(TSaveAnswer::Cancel);
    }
    void saveQuestionIsJapanese()
    {
        QFETCH(int, button);
        QFETCH(int, answer);
        QStringList texts;
        bool isDefault = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            QList<QPushButton*> buttons;
            for (const QString& text : {QStringLiteral("保存する(&S)"), QStringLiteral("保存しない(&N)"),
                                        QStringLiteral("キャンセル")})
                for (QAbstractButton* b : box->buttons())
                    if (b->text() == text) buttons << qobject_cast<QPushButton*>(b);
            for (QAbstractButton* b : box->buttons()) texts << b->text();
            isDefault = !buttons.isEmpty() && box->defaultButton() == buttons[0];
            if (button == 3)
                QTest::keyClick(box, Qt::Key_Escape);
            else if (button < buttons.size())
                buttons[button]->click();
            else
                box->reject();
        });
        TDialogs qtDialogs;
        const TSaveAnswer got = qtDialogs.AskSaveChanges(nullptr, "保存しますか?", "Tintabrel");
        QCOMPARE(texts.size(), 3);
        QVERIFY(isDefault);
        QCOMPARE(int(got), answer);
    }

    // A file named on the command line (as "open with" passes it) loads as the load button
    // loads it; the installed desktop entry passes one.
    void fileArgumentLoads()
    {
        ExeDir dir;
        QVERIFY(MakeImage(2, 1, {0xff0000, 0x0000ff}).save(Q(dir.File("hero.png"))));
        const QString program = QStringLiteral("Tintabrel");
        QCOMPARE(Q(TfrmMain::FileArgument({program})), QString());
        QCOMPARE(Q(TfrmMain::FileArgument({program, Q(dir.File("hero.png"))})), Q(dir.File("hero.png")));
        QCOMPARE(Q(TfrmMain::FileArgument({program, QUrl::fromLocalFile(Q(dir.File("hero.png"))).toString()})),
                 Q(dir.File("hero.png")));
        QCOMPARE(Q(TfrmMain::FileArgument({program, QStringLiteral("http://example.invalid/x.png")})), QString());
        {
            // A relative name is taken in the folder the program started in.
            const QString current = QDir::currentPath();
            QVERIFY(QDir::setCurrent(dir.dir.path()));
            const std::string path = TfrmMain::FileArgument({program, QStringLiteral("hero.png")});
            QVERIFY(QDir::setCurrent(current));
            QCOMPARE(Q(path), QFileInfo(Q(dir.File("hero.png"))).absoluteFilePath());
        }

        auto w = Open(dir);
        w->show();
        w->OpenArguments({program, Q(dir.File("hero.png"))});
        QTRY_VERIFY(!w->bmpBefore->Image.Empty());
        QVERIFY(dialogs->Messages.empty());
        QCOMPARE(w->imgAfter->Picture.Bitmap().Pixel(1, 0), clBlue);
        QCOMPARE(w->windowTitle(), QStringLiteral("hero.png - Tintabrel"));
        QCOMPARE(Q(w->od.FileName), Q(dir.File("hero.png")));
        // The check reads the path as it reads the open dialog's choice; undo goes back to nothing.
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clLime);
        w->Undo();
        w->Undo();
        QVERIFY(w->bmpBefore->Image.Empty());

        // A file that cannot be read: the load button's message.
        w->OpenArguments({program, Q(dir.File("gone.png"))});
        QTRY_COMPARE(dialogs->Messages.size(), size_t(1));
        QCOMPARE(Q(dialogs->Messages[0].Text), Q("ファイル " + dir.File("gone.png") + " は開けません."));

        const QString entry = Q(ReadFile(std::string(TINTABREL_DATA_DIR) + "/tintabrel.desktop"));
        QVERIFY(entry.contains(QStringLiteral("\nExec=Tintabrel %f\n")));
        QVERIFY(entry.contains(QStringLiteral("image/png")) && entry.contains(QStringLiteral("image/bmp")));
    }

    // The tolerance caption's two lines fit its widget in every Japanese font at the window's
    // 12 pixels and in a taller face (13 pixels: lines the design's 25 pixels cannot hold, still
    // narrow enough for the caption's width), inside the group box and below the target caption.
    void toleranceCaptionFitsItsFont()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QCOMPARE(w->Label3->text(), QStringLiteral("誤差\n補正値"));
        std::vector<QFont> fonts{w->font()};
        for (const QString& family : QFontDatabase::families(QFontDatabase::Japanese))
            for (int pixels : {12, 13}) {
                QFont font(family);
                font.setPixelSize(pixels);
                fonts.push_back(font);
            }
        QVERIFY(fonts.size() > 1);
        for (const QFont& font : fonts) {
            w->setFont(font);
            const QString name = font.family() + QStringLiteral(" %1px").arg(font.pixelSize());
            const QRect inside = w->Label3->contentsRect();
            const QRect text = w->Label3->fontMetrics().boundingRect(
                inside, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, w->Label3->text());
            QVERIFY2(inside.contains(text), qPrintable(name));
            // Each of the two lines whole, none broken further.
            QVERIFY2(text.height() < 3 * w->Label3->fontMetrics().lineSpacing(), qPrintable(name));
            QVERIFY2(w->gb->rect().contains(w->Label3->geometry()), qPrintable(name));
            QVERIFY2(!w->Label3->geometry().intersects(w->Label2->geometry()), qPrintable(name));
        }
    }

    // Undoing back to a picture that was loaded or saved shows it unmarked; with the picture
    // fitted to the pane no zoom factor shows as chosen.
    void undoToSavedStateAndFitShowNoStaleState()
    {
        ExeDir dir;
        auto w = Open(dir);
        QVERIFY(MakeImage(2, 1, {0xff0000, 0x0000ff}).save(Q(dir.File("hero.png"))));
        QVERIFY(MakeImage(1, 1, {0x00ff00}).save(Q(dir.File("other.png"))));
        Load(*w, dir.File("hero.png"));
        w->tbWidth->setValue(240);
        w->tb->setValue(120);
        w->btnCheck->click();
        Save(*w, dir.File("hero_120.png"));
        QCOMPARE(w->windowTitle(), QStringLiteral("hero.png - Tintabrel"));
        Load(*w, dir.File("other.png"));
        QCOMPARE(w->windowTitle(), QStringLiteral("other.png - Tintabrel"));
        const QStringList expected{QStringLiteral("hero.png - Tintabrel"), // the saved result
                                   QStringLiteral("hero.png - Tintabrel"), // the loaded picture
                                   QStringLiteral("hero.png - Tintabrel"), QStringLiteral("other.png - Tintabrel")};
        w->Undo();
        QCOMPARE(w->windowTitle(), expected[0]);
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clLime);
        w->Undo();
        QCOMPARE(w->windowTitle(), expected[1]);
        QCOMPARE(w->bmpAfter->Image.Pixel(0, 0), clRed);
        w->Redo();
        QCOMPARE(w->windowTitle(), expected[2]);
        w->Redo();
        QCOMPARE(w->windowTitle(), expected[3]);
        QVERIFY(!w->Unsaved());
        // A result never saved stays marked after undo and redo.
        w->tb->setValue(200);
        w->btnCheck->click();
        w->Undo();
        QVERIFY(!w->Unsaved());
        w->Redo();
        QVERIFY(w->Unsaved());

        // Fit: no zoom item selected; the fit's end shows the chosen one again.
        Load(*w, dir.File("hero.png"));
        SelectZoom(*w, 2);
        const auto selected = [&] {
            int count = 0;
            for (int i = 0; i < w->rgZoom->Count(); ++i) count += w->rgZoom->Button(i)->isChecked();
            return count;
        };
        w->actFit->trigger();
        QCOMPARE(selected(), 0);
        QCOMPARE(w->ZoomIndex(), 2);
        QVERIFY(w->imgBefore->width() > 6);
        w->actFit->trigger();
        QCOMPARE(w->rgZoom->ItemIndex(), 2);
        QCOMPARE(w->imgBefore->size(), QSize(6, 3));
        // Undo while fitted keeps showing no factor; a zoom step leaves the fit from the chosen one.
        w->actFit->trigger();
        w->btnCheck->click();
        w->Undo();
        QCOMPARE(selected(), 0);
        w->ZoomStep(1);
        QVERIFY(!w->actFit->isChecked());
        QCOMPARE(w->rgZoom->ItemIndex(), 3);
        QCOMPARE(w->imgBefore->size(), QSize(8, 4));
        // Saving leaves the fit at x1.
        w->actFit->trigger();
        Save(*w, dir.File("x.png"));
        QVERIFY(!w->actFit->isChecked());
        QCOMPARE(w->rgZoom->ItemIndex(), 0);
        QCOMPARE(selected(), 1);
    }

    // ---------------------------------------------------------------- room to see and to act

    // Every control stands at its design place at the start-up size: after start, after being
    // shown, and after growing and shrinking back.
    void designLayoutAtStartUpSize()
    {
        ExeDir dir;
        auto w = Open(dir);
        const std::vector<std::pair<QWidget*, QRect>> layout{
            {w->sbBefore, {32, 40, 217, 241}},  {w->sbAfter, {336, 40, 217, 241}}, {w->btnL, {256, 64, 75, 25}},
            {w->gb, {8, 288, 297, 121}},        {w->tb, {48, 48, 169, 33}},        {w->tbWidth, {48, 16, 169, 33}},
            {w->pnWidth, {216, 16, 33, 25}},    {w->pntb, {216, 48, 33, 25}},      {w->btnCheck, {256, 16, 35, 89}},
            {w->tbHose, {48, 80, 169, 33}},     {w->lblHose, {216, 88, 33, 17}},   {w->btnR, {256, 200, 75, 25}},
            {w->btnLoad, {96, 8, 75, 25}},      {w->btnSave, {408, 8, 75, 25}},    {w->SB1, {312, 288, 245, 121}},
            {w->rgZoom, {256, 96, 73, 97}}};
        const auto check = [&](const char* when) {
            QCOMPARE(w->size(), QSize(562, 454));
            for (const auto& [control, rect] : layout)
                QVERIFY2(control->geometry() == rect,
                         qPrintable(QStringLiteral("%1: %2").arg(when, control->metaObject()->className())));
            // The tolerance caption in its place and width, as tall as designed unless its lines
            // need more.
            const int lines = w->Label3->fontMetrics()
                                  .boundingRect(QRect(0, 0, 41, 454), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                                                w->Label3->text())
                                  .height();
            QCOMPARE(w->Label3->geometry(), QRect(8, 80, 41, std::max(25, lines)));
            QCOMPARE(w->Label1->pos(), QPoint(8, 24));
            QCOMPARE(w->Label2->pos(), QPoint(8, 48));
            QCOMPARE(w->lbl->x(), 8);
            QVERIFY(w->lbl->y() <= 416);
        };
        check("created");
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        check("shown");
        w->resize(800, 600);
        QTRY_VERIFY(w->sbBefore->height() > 241);
        w->resize(562, 454);
        QTRY_VERIFY(w->sbBefore->height() == 241);
        check("shrunk");
    }

    // Grown, the window gives the panes the room; the other controls keep their places relative
    // to the panes, nothing overlaps, a fitted picture follows; maximised, the same.
    void growingGivesThePanesTheRoom()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QVERIFY(MakeImage(2, 2, {0xff0000, 0x00ff00, 0x0000ff, 0xffffff}).save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        w->actFit->trigger();

        // How each control stands to the panes, which must not change as the window grows.
        const auto relations = [&] {
            const QRect before = w->sbBefore->geometry(), after = w->sbAfter->geometry();
            // The panes share the new width (the left one the smaller half) and take all the new
            // height; the column between them stays as far from their middle as designed.
            const int grownWidth = w->width() - 562, grownHeight = w->height() - 454;
            const int middle = before.top() + grownHeight / 2;
            std::vector<int> r{before.left(), before.top(), after.top(), after.left() - before.right(),
                               w->width() - after.right(), before.width() - grownWidth / 2,
                               after.width() - (grownWidth - grownWidth / 2), before.height() - grownHeight,
                               after.height() - grownHeight};
            for (QWidget* c : std::initializer_list<QWidget*>{w->btnL, w->rgZoom, w->btnR})
                r.insert(r.end(), {c->x() - before.right(), c->y() - middle, c->width(), c->height()});
            r.insert(r.end(), {w->btnLoad->x() - before.left(), w->btnLoad->y(), w->btnSave->x() - after.left(),
                               w->btnSave->y(), w->gb->x(), w->gb->y() - before.bottom(), w->gb->width(),
                               w->gb->height(), w->SB1->x() - after.left(), w->SB1->y() - after.bottom(),
                               w->width() - w->SB1->geometry().right(), w->SB1->height(), w->height() - w->lbl->y()});
            return r;
        };
        const std::vector<int> design = relations();
        const auto check = [&](const QSize& size) {
            QCOMPARE(w->size(), size);
            QCOMPARE(relations(), design);
            QCOMPARE(w->sbBefore->width() + w->sbAfter->width(), 2 * 217 + size.width() - 562);
            const std::vector<QWidget*> controls{w->sbBefore, w->sbAfter, w->btnL, w->rgZoom, w->btnR,
                                                 w->btnLoad,  w->btnSave, w->gb,   w->SB1,    w->lbl};
            for (size_t i = 0; i < controls.size(); ++i) {
                QVERIFY(w->rect().contains(controls[i]->geometry()));
                for (size_t j = i + 1; j < controls.size(); ++j)
                    QVERIFY2(!controls[i]->geometry().intersects(controls[j]->geometry()),
                             qPrintable(QStringLiteral("%1 %2").arg(i).arg(j)));
            }
            // The fitted picture fills the larger pane.
            const QSize room = w->sbBefore->viewport()->size();
            QCOMPARE(w->imgBefore->size(), QSize(1, 1) * std::min(room.width(), room.height()));
        };
        check(QSize(562, 454));
        for (const QSize size : {QSize(900, 700), QSize(563, 455), QSize(1000, 480)}) {
            w->resize(size);
            QTRY_COMPARE(w->size(), size);
            check(size);
        }
        w->showMaximized();
        QTRY_VERIFY(w->isMaximized());
        QTRY_VERIFY(w->width() > 562 && w->height() > 454);
        check(w->size());
    }

    // The size (and whether maximised) is remembered when the window closes and taken again at
    // the next start, within the screen and never below the design size; the settings are
    // the test's own.
    void sizeIsRememberedBetweenRuns()
    {
        ExeDir dir;
        QVERIFY(Settings().fileName().startsWith(settingsDir.path()));
        {
            auto w = Open(dir);
            w->ShowCentred();
            QVERIFY(QTest::qWaitForWindowExposed(w.get()));
            QCOMPARE(w->size(), QSize(562, 454));
            w->resize(700, 520);
            QTRY_COMPARE(w->size(), QSize(700, 520));
            QVERIFY(w->close());
        }
        QCOMPARE(Settings().value("window/size").toSize(), QSize(700, 520));
        {
            auto w = Open(dir);
            w->ShowCentred();
            QTRY_COMPARE(w->size(), QSize(700, 520));
            QVERIFY(!w->isMaximized());
            w->showMaximized();
            QTRY_VERIFY(w->isMaximized());
            QVERIFY(w->close());
        }
        QCOMPARE(Settings().value("window/maximised").toBool(), true);
        QCOMPARE(Settings().value("window/size").toSize(), QSize(700, 520));
        {
            auto w = Open(dir);
            w->ShowCentred();
            QTRY_VERIFY(w->isMaximized());
            QVERIFY(w->close());
        }
        const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
        for (const QSize remembered : {QSize(100, 100), QSize(20000, 20000)}) {
            Settings().setValue("window/size", remembered);
            Settings().setValue("window/maximised", false);
            auto w = Open(dir);
            w->ShowCentred();
            QVERIFY(QTest::qWaitForWindowExposed(w.get()));
            QVERIFY(w->width() >= 562 && w->height() >= 454);
            QVERIFY(w->width() <= std::max(562, screen.width()) && w->height() <= std::max(454, screen.height()));
        }
    }

    // Both hues show in degrees beside their sliders at all times: the source as the hue of
    // the pixels it picks, its slider position in the tooltip; the text stands out from the colour.
    void hueReadoutsFollowSliders_data()
    {
        QTest::addColumn<bool>("source");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("shown");
        QTest::newRow("source 0") << true << 0 << "240°";
        QTest::newRow("source 240") << true << 240 << "0°";
        QTest::newRow("source 235 (red picked)") << true << 235 << "5°";
        QTest::newRow("source 250") << true << 250 << "350°";
        QTest::newRow("source 360") << true << 360 << "240°";
        QTest::newRow("target 120") << false << 120 << "120°";
        QTest::newRow("target 360") << false << 360 << "0°";
        QTest::newRow("target 59") << false << 59 << "59°";
    }
    void hueReadoutsFollowSliders()
    {
        QFETCH(bool, source);
        QFETCH(int, position);
        QFETCH(QString, shown);
        ExeDir dir;
        auto w = Open(dir);
        // Shown from the start, before any slider moves.
        QCOMPARE(w->pnWidth->Text(), QStringLiteral("240°"));
        QCOMPARE(w->pntb->Text(), QStringLiteral("0°"));
        QSlider* slider = source ? w->tbWidth : w->tb;
        TPanel* readout = source ? w->pnWidth : w->pntb;
        slider->setValue(position);
        QCOMPARE(readout->Text(), shown);
        QVERIFY(readout->toolTip().contains(QStringLiteral("色相 ") + shown));
        if (source) QVERIFY(readout->toolTip().contains(QStringLiteral("ｽﾗｲﾀﾞｰの位置 %1").arg(position)));
        // The readout is drawn on its panel, in the contrasting colour.
        const QColor background = readout->ShownColor();
        const bool light = background.red() * 299 + background.green() * 587 + background.blue() * 114 >= 128000;
        QCOMPARE(readout->TextColor(), light ? QColor(Qt::black) : QColor(Qt::white));
        const QImage drawn = readout->grab().toImage();
        const QColor ink = readout->TextColor();
        int textPixels = 0;
        for (int y = 2; y < drawn.height() - 2; ++y)
            for (int x = 2; x < drawn.width() - 2; ++x) {
                const QColor c = drawn.pixelColor(x, y);
                textPixels += std::abs(c.red() - ink.red()) + std::abs(c.green() - ink.green()) +
                                  std::abs(c.blue() - ink.blue()) < 120;
            }
        QVERIFY(textPixels > 5);
    }

    // A click on a slider's track steps a page towards the click, even under a desktop style
    // that would jump to it; the middle button jumps.
    void trackClickStepsTowardsClick()
    {
        struct JumpingStyle : QProxyStyle {
            using QProxyStyle::QProxyStyle;
            int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                          QStyleHintReturn* returnData) const override
            {
                if (hint == SH_Slider_AbsoluteSetButtons) return Qt::LeftButton;
                if (hint == SH_Slider_PageSetButtons) return Qt::MiddleButton;
                return QProxyStyle::styleHint(hint, option, widget, returnData);
            }
        };
        const QString previous = QApplication::style()->name();
        QApplication::setStyle(new JumpingStyle(QStyleFactory::create(previous)));
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        for (QSlider* slider : {w->tbWidth, w->tb, w->tbHose}) {
            QStyleOptionSlider option;
            option.initFrom(slider);
            option.orientation = slider->orientation();
            option.minimum = slider->minimum();
            option.maximum = slider->maximum();
            option.sliderPosition = option.sliderValue = slider->value();
            option.tickPosition = slider->tickPosition();
            option.subControls = QStyle::SC_All;
            const QRect handle =
                slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider);
            const int y = handle.center().y();
            const QPoint nearEnd(slider->width() - 6, y);
            slider->setValue(0);
            QTest::mouseClick(slider, Qt::LeftButton, {}, nearEnd);
            QCOMPARE(slider->value(), slider->pageStep());
            QTest::mouseClick(slider, Qt::LeftButton, {}, nearEnd);
            QCOMPARE(slider->value(), 2 * slider->pageStep());
            QTest::mouseClick(slider, Qt::MiddleButton, {}, nearEnd);
            QVERIFY(slider->value() > slider->maximum() * 9 / 10);
        }
        w.reset();
        QApplication::setStyle(previous);
    }

    // The pane menu opens from anywhere in either pane, also beside a small picture; the list
    // editor starts once from a double click anywhere in the grid's box.
    void menuAndEditorFromEmptyAreas()
    {
        ExeDir dir;
        auto w = Open(dir);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QVERIFY(MakeImage(2, 2, {0xff0000, 0x00ff00, 0x0000ff, 0xffffff}).save(Q(dir.File("s.png"))));
        Load(*w, dir.File("s.png"));
        w->tbWidth->setValue(150);
        for (TScrollBox* pane : {w->sbBefore, w->sbAfter}) {
            QWidget* area = pane->viewport();
            const QPoint corner(area->width() - 5, area->height() - 5);
            QVERIFY(!w->imgBefore->geometry().contains(corner));
            const QPoint inWindow = area->mapTo(w.get(), corner);
            QTest::mousePress(w->windowHandle(), Qt::RightButton, {}, inWindow);
            QTRY_VERIFY(w->PaneMenu->isVisible());
            w->PaneMenu->hide();
            QTest::mouseRelease(w->windowHandle(), Qt::RightButton, {}, inWindow);
        }
        QCOMPARE(w->tbWidth->value(), 150);

        WriteFile(dir.File("Swatchwright"), "#!/bin/sh\n");
        QWidget* grid = w->SB1->viewport();
        const QPoint empty(grid->width() - 5, grid->height() - 5);
        QVERIFY(!w->imgColor->geometry().contains(empty));
        QTest::mouseDClick(grid, Qt::LeftButton, {}, empty);
        QCOMPARE(dialogs->Started.size(), size_t(1));
        QTest::mouseDClick(w->imgColor, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(dialogs->Started.size(), size_t(2));
        QTest::mouseDClick(grid, Qt::RightButton, {}, empty);
        QCOMPARE(dialogs->Started.size(), size_t(2));
        QVERIFY(dialogs->Messages.empty());
    }

    // During a check or a save that runs beside the window, the zoom keys, Ctrl+wheel, the zoom
    // buttons and scrolling work at once; the result is the ordinary one.
    void zoomAndScrollDuringBackgroundWork()
    {
        ExeDir dir("clBlack\r\n");
        auto w = Open(dir);
        w->show();
        QApplication::setActiveWindow(w.get());
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QImage big(400, 300, QImage::Format_RGB32);
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 400; ++x) big.setPixel(x, y, QColor::fromHsv((x + 2 * y) % 360, 255, 255).rgb());
        QVERIFY(big.save(Q(dir.File("big.png"))));
        Load(*w, dir.File("big.png"));
        w->BusyPixels = 1000;
        w->tbWidth->setValue(240);
        w->tb->setValue(120);

        std::vector<QString> done;
        int step = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] {
            if (!w->Busy()) return;
            const int zoom = w->rgZoom->ItemIndex();
            switch (step++) {
            case 0:
                QTest::keyClick(w.get(), Qt::Key_Plus);
                if (w->rgZoom->ItemIndex() == zoom + 1 && w->imgBefore->size() == QSize(400, 300) * (zoom + 2))
                    done.push_back("key");
                break;
            case 1: {
                QWheelEvent up(QPointF(5, 5), w->sbBefore->viewport()->mapToGlobal(QPointF(5, 5)), QPoint(),
                               QPoint(0, 120), Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(w->sbBefore->viewport(), &up);
                if (w->rgZoom->ItemIndex() == zoom + 1) done.push_back("wheel");
                break;
            }
            case 2:
                w->sbBefore->horizontalScrollBar()->setValue(100);
                if (w->sbAfter->horizontalScrollBar()->value() == 100) done.push_back("scroll");
                break;
            case 3:
                SelectZoom(*w, 0);
                if (w->imgAfter->size() == QSize(400, 300)) done.push_back("button");
                break;
            default: break;
            }
        });
        timer.start(0);
        for (int run = 0; run < 20 && step < 4; ++run) {
            w->btnCheck->click();
            Save(*w, dir.File("out.png"));
        }
        timer.stop();
        QCOMPARE(done, (std::vector<QString>{"key", "wheel", "scroll", "button"}));
        QVERIFY(dialogs->Messages.empty());
        QVERIFY(!w->Busy());
        TPictureData expected;
        ApplyChange(*w->bmpBefore, expected, TProtectedColors(*w->ColorList), w->LastWindow);
        for (int y = 0; y < 300; y += 7)
            for (int x = 0; x < 400; x += 5) QCOMPARE(w->bmpAfter->Image.Pixel(x, y), expected.Image.Pixel(x, y));
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
