// The list editor driven as the user drives it; what it saves is read back by the main window.
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>

#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

#include "app/swatchwright/Swatchwright.h"
#include "app/window/Application.h"
#include "app/window/ImageControl.h"
#include "app/window/Unit_Main.h"
#include "tests/TestData.h"
#include "tests/app/window/FakeDialogs.h"

using namespace tintabrel;
namespace fs = std::filesystem;

namespace {

using tintabrel::test::ReadFile;
using tintabrel::test::WriteFile;

struct FakeEditorDialogs : TEditorDialogs {
    std::deque<std::optional<TColor>> Colors;
    std::deque<TAnswer> Answers;
    std::vector<std::string> Errors;
    int Asked = 0;

    std::optional<TColor> PickColor(QWidget*, TColor) override
    {
        if (Colors.empty()) return std::nullopt;
        const std::optional<TColor> c = Colors.front();
        Colors.pop_front();
        return c;
    }
    void ShowError(QWidget*, const std::string& text) override { Errors.push_back(text); }
    TAnswer AskSaveChanges(QWidget*) override
    {
        ++Asked;
        const TAnswer a = Answers.empty() ? TAnswer::Cancel : Answers.front();
        if (!Answers.empty()) Answers.pop_front();
        return a;
    }
};

QString Q(const std::string& s) { return QString::fromStdString(s); }

} // namespace

class SwatchwrightTest : public QObject {
    Q_OBJECT

    FakeEditorDialogs* dialogs = nullptr;
    QTemporaryDir* dir = nullptr;

    std::string Path() const { return dir->path().toStdString() + "/"; }
    std::string ListFile() const { return Path() + "ColorList.dat"; }

    void Type(TfrmSwatchwright& editor, const char* text)
    {
        editor.edtColor->setText(QString::fromUtf8(text));
        editor.btnAddText->click();
    }

private slots:
    void initTestCase()
    {
        // The editor's own start-up gives Qt's texts in Japanese (its colour dialog, its buttons).
        InitEditorApplication();
        QCOMPARE(QCoreApplication::translate("QColorDialog", "&Red:"), QStringLiteral("赤(&R):"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("キャンセル"));
        InitApplication();
    }

    void init()
    {
        auto fake = std::make_unique<FakeEditorDialogs>();
        dialogs = fake.get();
        SetEditorDialogs(std::move(fake));
        dir = new QTemporaryDir;
    }

    void cleanup()
    {
        SetEditorDialogs(nullptr);
        delete dir;
    }

    void editedListIsReadByTheWindow()
    {
        WriteFile(ListFile(), "clBlack\r\nclWhite\r\n");
        TfrmSwatchwright editor(Path());
        QCOMPARE(editor.lstColors->count(), 2);
        QVERIFY(!editor.Modified());

        dialogs->Colors.push_back(MakeColor(1, 2, 3));
        editor.btnPick->click();
        Type(editor, "$000000FF"); // stored as a red pixel's colour string
        Type(editor, " clLime ");
        Type(editor, "zzz");
        QCOMPARE(dialogs->Errors.size(), size_t(1));
        QCOMPARE(Q(dialogs->Errors[0]), QStringLiteral("'zzz' は整数ではありません."));
        QCOMPARE(editor.Lines(), (std::vector<std::string>{"clBlack", "clWhite", "$00030201", "clRed", "clLime"}));
        QVERIFY(editor.Modified());

        editor.SetCurrent(1);
        editor.btnDelete->click();
        editor.SetCurrent(3);
        editor.btnUp->click();
        editor.SetCurrent(0);
        editor.btnDown->click();
        QCOMPARE(editor.Lines(), (std::vector<std::string>{"$00030201", "clBlack", "clLime", "clRed"}));
        QCOMPARE(editor.Current(), 1);

        editor.btnSave->click();
        QVERIFY(dialogs->Errors.size() == 1);
        QVERIFY(!editor.Modified());
        QCOMPARE(Q(ReadFile(ListFile())), QStringLiteral("$00030201\r\nclBlack\r\nclLime\r\nclRed\r\n"));

        // The window reads the list back: swatches in order, and red is protected.
        fs::copy_file(std::string(TINTABREL_DATA_DIR) + "/moto.bmp", Path() + "moto.bmp");
        auto fake = std::make_unique<FakeDialogs>();
        FakeDialogs* windowDialogs = fake.get();
        SetDialogs(std::move(fake));
        {
            TfrmMain window(Path());
            QVERIFY(windowDialogs->Messages.empty());
            QCOMPARE(window.ColorList->Lines(), editor.Lines());
            const TBitmap& grid = window.imgColor->Picture.Bitmap();
            QCOMPARE(grid.Pixel(12, 12), MakeColor(1, 2, 3));
            QCOMPARE(grid.Pixel(25 * 3 + 12, 12), clRed);

            QImage sprite(2, 1, QImage::Format_RGB32);
            sprite.setPixel(0, 0, 0xff0000);
            sprite.setPixel(1, 0, 0x800000);
            QVERIFY(sprite.save(Q(Path() + "s.png")));
            windowDialogs->OpenAnswers.push_back(Path() + "s.png");
            window.btnLoad->click();
            window.tbWidth->setValue(240);
            window.tb->setValue(120);
            window.btnCheck->click();
            QCOMPARE(window.bmpAfter->Image.Pixel(0, 0), clRed);
            QCOMPARE(window.bmpAfter->Image.Pixel(1, 0), MakeColor(0, 128, 0));
        }
        SetDialogs(nullptr);
    }

    void closingAsksAboutUnsavedChanges()
    {
        WriteFile(ListFile(), "clBlack\r\n");
        auto editor = std::make_unique<TfrmSwatchwright>(Path());
        editor->show();
        QVERIFY(editor->close()); // nothing changed: no question
        QCOMPARE(dialogs->Asked, 0);

        editor = std::make_unique<TfrmSwatchwright>(Path());
        editor->show();
        Type(*editor, "clRed");
        dialogs->Answers = {TEditorDialogs::TAnswer::Cancel, TEditorDialogs::TAnswer::Discard};
        QVERIFY(!editor->close());
        QVERIFY(editor->isVisible());
        QVERIFY(editor->close());
        QCOMPARE(dialogs->Asked, 2);
        QCOMPARE(Q(ReadFile(ListFile())), QStringLiteral("clBlack\r\n"));

        editor = std::make_unique<TfrmSwatchwright>(Path());
        editor->show();
        Type(*editor, "clRed");
        dialogs->Answers = {TEditorDialogs::TAnswer::Save};
        QVERIFY(editor->close());
        QCOMPARE(Q(ReadFile(ListFile())), QStringLiteral("clBlack\r\nclRed\r\n"));
    }

    void keepsEveryLineAndCreatesAMissingList()
    {
        // Lines that are no colour strings and empty lines stay, in order, written with CR LF.
        WriteFile(ListFile(), "clRed\n\nbogus\rclLime");
        {
            TfrmSwatchwright editor(Path());
            QCOMPARE(editor.Lines(), (std::vector<std::string>{"clRed", "", "bogus", "clLime"}));
            editor.SetCurrent(3);
            editor.btnUp->click();
            editor.btnDown->click();
            editor.btnSave->click();
            QCOMPARE(Q(ReadFile(ListFile())), QStringLiteral("clRed\r\n\r\nbogus\r\nclLime\r\n"));
        }

        fs::remove(ListFile());
        TfrmSwatchwright editor(Path());
        QVERIFY(dialogs->Errors.empty());
        QCOMPARE(editor.lstColors->count(), 0);
        Type(editor, "$00efcdab");
        editor.btnSave->click();
        QCOMPARE(Q(ReadFile(ListFile())), QStringLiteral("$00EFCDAB\r\n"));
    }
};

QTEST_MAIN(SwatchwrightTest)
#include "SwatchwrightTest.moc"
