#include "app/window/Unit_Main.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QSettings>
#include <QApplication>
#include <QEventLoop>
#include <QMenu>
#include <QProgressBar>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileSystemWatcher>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QCursor>
#include <QScrollBar>
#include <QToolTip>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>

#include <zlib.h>

#include "app/PictureChange.h"
#include "app/window/Application.h"
#include "app/window/Controls.h"
#include "app/window/FrameBar.h"
#include "app/window/ImageControl.h"
#include "app/window/LiveView.h"
#include "app/MemoryBudget.h"
#include "app/PicturePipeline.h"
#include "app/PictureFormats.h"
#include "app/PictureSource.h"
#include "image/Animation.h"
#include "image/Canvas.h"
#include "base/ScopeGuard.h"
#include "base/ColorConvert.h"
#include "recolour/ColorList.h"
#include "recolour/HueOptions.h"
#include "recolour/HueReplace.h"

namespace tintabrel {

namespace {

constexpr int ClientWidth = TfrmMain::DesignWidth;
constexpr int ClientHeight = TfrmMain::DesignHeight;
constexpr int CreditLeft = 8;
constexpr int CreditTop = 416;
// Room kept below the credit text: its last line must not touch the window's edge.
constexpr int BottomMargin = 3;

// The design places of the controls that follow the window's size (see LayOut).
constexpr QRect BeforeBox(32, 40, 217, 241);
constexpr QRect AfterBox(336, 40, 217, 241);
constexpr QRect LeftButton(256, 64, 75, 25);
constexpr QRect ZoomGroup(256, 96, 73, 97);
constexpr QRect RightButton(256, 200, 75, 25);
constexpr QRect LoadButton(96, 8, 75, 25);
constexpr QRect SaveButton(408, 8, 75, 25);
constexpr QRect ChangeGroup(8, 288, 297, 121);
constexpr QRect GridBox(312, 288, 245, 121);
constexpr QRect BusyBar(312, 424, 245, 16);
// The hints of the two colour previews, which also show the hues (ShowHueReadouts).
constexpr const char* SourcePreviewHint = "元の色で設定した色のプレビューです。";
constexpr const char* TargetPreviewHint = "変えた後の色で設定した色のプレビューです。";
// The tolerance caption inside the group box: its design place, which it leaves only when the
// font's lines need more height.
constexpr QRect ToleranceCaption(8, 80, 41, 25);

// An existing file that is not a folder.
bool IsExistingFile(const std::string& path)
{
    if (path.empty()) return false;
    std::error_code ec;
    const std::filesystem::path p(path);
    return std::filesystem::exists(p, ec) && !std::filesystem::is_directory(p, ec);
}

QString FirstInstalled(std::initializer_list<const char*> names)
{
    const QStringList families = QFontDatabase::families();
    for (const char* name : names)
        if (families.contains(QString::fromUtf8(name), Qt::CaseInsensitive)) return QString::fromUtf8(name);
    return {};
}

// The window's font: the classic Japanese desktop font where installed, else an installed
// Japanese gothic face, else any face that covers Japanese.
QFont WindowFont()
{
    QString family = FirstInstalled({"ＭＳ Ｐゴシック", "MS PGothic", "IPAPGothic", "IPAGothic"});
    if (family.isEmpty()) {
        const QStringList japanese = QFontDatabase::families(QFontDatabase::Japanese);
        if (!japanese.isEmpty()) family = japanese.first();
    }
    QFont font;
    if (!family.isEmpty()) font.setFamily(family);
    font.setPixelSize(12);
    font.setBold(false);
    font.setItalic(false);
    return font;
}

// The double arrows of the L and R buttons: the symbol font's glyphs where it exists.
void SetArrowCaption(QPushButton* button, const QFont& windowFont, bool left)
{
    QFont font = windowFont;
    font.setPixelSize(16);
    if (!FirstInstalled({"Webdings"}).isEmpty()) {
        font.setFamily(QStringLiteral("Webdings"));
        button->setText(left ? QStringLiteral("7") : QStringLiteral("8"));
    } else {
        button->setText(left ? QStringLiteral("\u00AB") : QStringLiteral("\u00BB"));
    }
    button->setFont(font);
}

void SetupTrackBar(QSlider* slider, int maximum, int position, int pageSize, int tickInterval)
{
    slider->setOrientation(Qt::Horizontal);
    slider->setRange(0, maximum);
    slider->setValue(position);
    slider->setPageStep(pageSize);
    slider->setSingleStep(1);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(tickInterval);
}

void SetHint(QWidget* control, const char* hint) { control->setToolTip(QString::fromUtf8(hint)); }

// Sizes an image control and puts it at the top-left corner of its scroll box.
void PlaceImage(TScrollBox* box, TImage* image, int width, int height)
{
    image->resize(width, height);
    box->horizontalScrollBar()->setValue(0);
    box->verticalScrollBar()->setValue(0);
    image->move(0, 0);
}

void CopyScrollPositions(const TScrollBox* from, TScrollBox* to)
{
    to->horizontalScrollBar()->setValue(from->horizontalScrollBar()->value());
    to->verticalScrollBar()->setValue(from->verticalScrollBar()->value());
}

std::string FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// True when some pixel is not fully opaque (alpha byte v stands for alpha 255 - v).
bool HasTransparency(const TPictureData& data)
{
    const TBitmap& alpha = data.Alpha;
    if (alpha.Empty() || alpha.PixelFormat() != TPixelFormat::pf8bit) return data.HasAlpha();
    for (int y = 0; y < alpha.Height(); ++y) {
        const uint8_t* row = alpha.ConstScanLine(y);
        if (std::any_of(row, row + alpha.Width(), [](uint8_t v) { return v != 0; })) return true;
    }
    return false;
}

// The pixels work on the picture goes through: an animation's frames beside its canvas.
int64_t WorkPixels(const TPictureData& picture)
{
    int64_t pixels = int64_t{picture.Image.Width()} * picture.Image.Height();
    if (picture.Animation) pixels += picture.Animation->FramePixels();
    return pixels;
}

// A save's failure as the default handler shows it: the GIF writer's refusal of a picture GIF
// cannot hold (in its own words) behind what it means to the user.
[[noreturn]] void RethrowSaveFailure(const std::exception_ptr& error, TPictureKind kind)
{
    try {
        std::rethrow_exception(error);
    } catch (const EConvertError& e) {
        if (kind != GifFormat()) throw;
        throw EConvertError(std::string("GIF形式では保存できません。GIFに保存できるのは256色までのﾊﾟﾚｯﾄの絵だけです"
                                        "(色を減らすことはしません)。\n") +
                                e.what(),
                            e.Detail());
    }
}

} // namespace

TfrmMain::TfrmMain(std::string exeDir, QWidget* parent)
    : QWidget(parent), exeDir_(exeDir.empty() ? ApplicationDir() : std::move(exeDir))
{
    CreateControls();
    ConnectHandlers();
    Guarded([this] { FormCreate(); });
    ShowHueReadouts();
    LayOut();
    WatchList();
}

TfrmMain::~TfrmMain()
{
    // A mask or preview run still working holds its own copies, but reports to this window.
    liveJob_.Join();
    // The image controls go with the window; their pictures must not call back into it.
    imgBefore->OnMouseDown = nullptr;
    imgBefore->OnMouseMove = nullptr;
    imgBefore->OnMouseUp = nullptr;
    imgBefore->OnContextMenu = nullptr;
    imgAfter->OnContextMenu = nullptr;
    imgColor->OnDblClick = nullptr;
}

void TfrmMain::CreateControls()
{
    setWindowTitle(QString::fromLatin1(ApplicationTitle));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    // The design size is the smallest; the window grows from it (LayOut).
    setMinimumSize(ClientWidth, ClientHeight);
    resize(ClientWidth, ClientHeight);
    const QFont font = WindowFont();
    setFont(font);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColorOf(clBtnFace));
    setPalette(pal);
    setAutoFillBackground(true);

    lbl = new TLabel(this);
    lbl->setGeometry(CreditLeft, CreditTop, 12, 12);
    lbl->SetAutoSize(true);
    lbl->SetCaption("lbl");

    sbBefore = new TScrollBox(this);
    sbBefore->setGeometry(BeforeBox);
    imgBefore = new TImage;
    imgBefore->resize(128, 192);
    imgBefore->SetStretch(true);
    sbBefore->setWidget(imgBefore);

    sbAfter = new TScrollBox(this);
    sbAfter->setGeometry(AfterBox);
    imgAfter = new TImage;
    imgAfter->resize(128, 192);
    imgAfter->SetStretch(true);
    sbAfter->setWidget(imgAfter);

    btnL = new QPushButton(this);
    btnL->setGeometry(LeftButton);
    SetArrowCaption(btnL, font, true);
    SetHint(btnL, "改変した絵をもう一度改変する時にこのボタンを押してください。");

    gb = new QGroupBox(QString::fromUtf8("色合いの変化"), this);
    gb->setGeometry(ChangeGroup);

    Label1 = new TLabel(gb);
    Label1->setGeometry(8, 24, 36, 12);
    Label1->SetAutoSize(true);
    Label1->SetCaption("元の色");

    Label2 = new TLabel(gb);
    Label2->setGeometry(8, 48, 36, 12);
    Label2->SetAutoSize(true);
    Label2->SetCaption("変化色");

    Label3 = new TLabel(gb);
    Label3->setGeometry(ToleranceCaption);
    Label3->setWordWrap(true);
    Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label3->SetCaption("誤差補正値");

    tb = new QSlider(gb);
    tb->setGeometry(48, 48, 169, 33);
    SetupTrackBar(tb, 360, 0, 36, 10);
    SetHint(tb, "どの色に変化させるか設定します。");

    tbWidth = new QSlider(gb);
    tbWidth->setGeometry(48, 16, 169, 33);
    SetupTrackBar(tbWidth, 360, 0, 36, 10);
    SetHint(tbWidth, "変化させる色を設定します。");

    pnWidth = new TPanel(gb);
    pnWidth->setGeometry(216, 16, 33, 25);
    pnWidth->SetColor(clRed);
    SetHint(pnWidth, SourcePreviewHint);

    pntb = new TPanel(gb);
    pntb->setGeometry(216, 48, 33, 25);
    pntb->SetColor(clRed);
    SetHint(pntb, TargetPreviewHint);

    btnCheck = new QPushButton(QString::fromUtf8("ﾁｪｯｸ"), gb);
    btnCheck->setGeometry(256, 16, 35, 89);
    SetHint(btnCheck, "色合いの変化を設定し終わったらこのﾎﾞﾀﾝを押してください。");

    tbHose = new QSlider(gb);
    tbHose->setGeometry(48, 80, 169, 33);
    SetupTrackBar(tbHose, 36, 18, 6, 2);
    for (QSlider* slider : {tb, tbWidth, tbHose}) StepOnTrackClick(slider);
    SetHint(tbHose, "変化させる色合いの誤差を設定します。大きければ広範囲の色が変化します。");

    lblHose = new TLabel(gb);
    lblHose->setGeometry(216, 88, 33, 17);
    lblHose->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    lblHose->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblHose->SetCaption("0");

    btnR = new QPushButton(this);
    btnR->setGeometry(RightButton);
    SetArrowCaption(btnR, font, false);
    SetHint(btnR, "ﾁｪｯｸﾎﾞﾀﾝを押した後、やっぱり戻して保存したいときにこのﾎﾞﾀﾝを押してください。");

    btnLoad = new QPushButton(QString::fromUtf8("読み込み(&L)"), this);
    btnLoad->setGeometry(LoadButton);
    SetHint(btnLoad, "改変元のファイルを読み込みます。");

    btnSave = new QPushButton(QString::fromUtf8("書き込み(&S)"), this);
    btnSave->setGeometry(SaveButton);
    SetHint(btnSave, "改変し終わったファイルを書き込みます。");

    SB1 = new TScrollBox(this);
    SB1->setGeometry(GridBox);
    SB1->SetSmoothScrolling(true);
    imgColor = new TImage;
    imgColor->resize(97, 73);
    imgColor->SetAutoSize(true);
    SetHint(imgColor, "変化禁止の色です。ダブルクリックするとエディタが起動します。");
    SB1->setWidget(imgColor);

    rgZoom = new TRadioGroup(this);
    rgZoom->setTitle(QString::fromUtf8("拡大率(&Z)"));
    rgZoom->setGeometry(ZoomGroup);
    rgZoom->SetItems({"x1", "x2", "x3", "x4", "x5"});
    rgZoom->SetItemIndex(0);

    od.Filter = "対応しているﾌｧｲﾙ(*.bmp:*.png:*.gif:*.apng)|*.bmp;*.png;*.gif;*.apng|Windowsﾋﾞｯﾄﾏｯﾌﾟ(*.bmp)|*.bmp|"
                "PortableNetworkGraphic(*.png)|*.png|GraphicsInterchangeFormat(*.gif)|*.gif|"
                "ｱﾆﾒｰｼｮﾝPNG(*.png:*.apng)|*.png;*.apng|すべてのﾌｧｲﾙ(*.*)|*.*";
    od.FilterIndex = 1;
    // GIF and animated PNG keep an animation's frames (SaveFilterGif, SaveFilterApng).
    sd.Filter = "PortableNetworkGraphic(*.png)|*.png|Windowsﾋﾞｯﾄﾏｯﾌﾟ(*.bmp)|*.bmp|GraphicsInterchangeFormat(*.gif)|*.gif|"
                "ｱﾆﾒｰｼｮﾝPNG(*.png:*.apng)|*.png;*.apng|すべてのﾌｧｲﾙ(*.*)|*.*";
    sd.FilterIndex = 1;
    sd.DefaultExt = "png";

    // Shown only while a long load, check or save runs, in the free corner below the grid.
    pbBusy = new QProgressBar(this);
    pbBusy->setGeometry(BusyBar);
    pbBusy->setRange(0, 0);
    pbBusy->setTextVisible(false);
    pbBusy->hide();

    setAcceptDrops(true);
    CreatePaneMenu();
    CreateShortcuts();
    CreateFrameBar();

    // Tab order among siblings, the group box's controls in their own order within it.
    QWidget* order[] = {sbBefore, sbAfter, btnL, tb, tbWidth, btnCheck, tbHose, btnR, btnLoad, btnSave, SB1,
                        rgZoom->Button(0)};
    for (size_t i = 0; i + 1 < std::size(order); ++i) QWidget::setTabOrder(order[i], order[i + 1]);
    created_ = true;
}

void TfrmMain::ConnectHandlers()
{
    connect(btnLoad, &QPushButton::clicked, this, [this] { Guarded([this] { btnLoadClick(); }); });
    connect(btnSave, &QPushButton::clicked, this, [this] { Guarded([this] { btnSaveClick(); }); });
    connect(btnCheck, &QPushButton::clicked, this, [this] { Guarded([this] { tbChange(); }); });
    connect(btnL, &QPushButton::clicked, this, [this] { Guarded([this] { btnLClick(); }); });
    connect(btnR, &QPushButton::clicked, this, [this] { Guarded([this] { btnRClick(); }); });
    connect(tbWidth, &QSlider::valueChanged, this, [this] { Guarded([this] { tbWidthChange(); }); });
    connect(tb, &QSlider::valueChanged, this, [this] { Guarded([this] { tbChangeColor(tb); }); });
    connect(tbHose, &QSlider::valueChanged, this, [this] { Guarded([this] { tbHoseChange(); }); });
    // While a hue slider is dragged, its tooltip shows the hue in degrees and the colour.
    for (QSlider* slider : {tbWidth, tb}) {
        const auto tip = [this, slider] {
            if (!slider->isSliderDown()) return;
            const int hue = slider == tbWidth ? SourceHue(slider->sliderPosition()) : slider->sliderPosition() % 360;
            QToolTip::showText(QCursor::pos(), HueTip(hue), slider);
        };
        connect(slider, &QSlider::sliderPressed, this, tip);
        connect(slider, &QSlider::sliderMoved, this, tip);
        connect(slider, &QSlider::sliderReleased, this, [] { QToolTip::hideText(); });
    }
    // The readouts follow the hue sliders at all times.
    for (QSlider* slider : {tbWidth, tb})
        connect(slider, &QSlider::valueChanged, this, [this] { ShowHueReadouts(); });
    // The mask and the preview follow every setting.
    for (QSlider* slider : {tbWidth, tb, tbHose})
        connect(slider, &QSlider::valueChanged, this, [this] { Guarded([this] { UpdateLive(); }); });
    const auto menu = [this](const QPoint& at) { PaneMenu->popup(at); };
    imgBefore->OnContextMenu = menu;
    imgAfter->OnContextMenu = menu;
    // The panes' own area beside the picture opens the menu too, and the grid's beside the
    // swatches starts the editor (see eventFilter).
    sbBefore->viewport()->installEventFilter(this);
    sbAfter->viewport()->installEventFilter(this);
    SB1->viewport()->installEventFilter(this);
    // The two panes scroll together.
    for (auto [from, to] : {std::pair{sbBefore, sbAfter}, std::pair{sbAfter, sbBefore}}) {
        TScrollBox* other = to;
        connect(from->horizontalScrollBar(), &QScrollBar::valueChanged, this,
                [other](int value) { other->horizontalScrollBar()->setValue(value); });
        connect(from->verticalScrollBar(), &QScrollBar::valueChanged, this,
                [other](int value) { other->verticalScrollBar()->setValue(value); });
    }
    rgZoom->OnClick = [this] {
        Guarded([this] {
            // A chosen zoom leaves the fit to the pane.
            const QSignalBlocker quiet(actFit);
            actFit->setChecked(false);
            fitZoom_ = rgZoom->ItemIndex();
            rgZoomClick();
        });
    };
    imgBefore->OnMouseDown = [this](Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y) {
        Guarded([&] { imgBeforeMouseDown(button, shift, x, y); });
    };
    imgBefore->OnMouseMove = [this](Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, int x, int y) {
        Guarded([&] { imgBeforeMouseMove(buttons, shift, x, y); });
    };
    imgBefore->OnMouseUp = [this](Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y) {
        Guarded([&] { imgBeforeMouseUp(button, shift, x, y); });
    };
    imgColor->OnDblClick = [this] { Guarded([this] { imgColorDblClick(); }); };
    lbl->OnClick = [this] { Guarded([this] { lblClick(); }); };
    sbBefore->OnConstrainedResize = [this] { Guarded([this] { sbBeforeConstrainedResize(); }); };
    sbAfter->OnConstrainedResize = [this] { Guarded([this] { sbAfterConstrainedResize(); }); };

    const auto undo = [this] { Guarded([this] { Undo(); }); };
    const auto redo = [this] { Guarded([this] { Redo(); }); };
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), this), &QShortcut::activated, this, undo);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Y), this), &QShortcut::activated, this, redo);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), this), &QShortcut::activated, this, redo);
}

void TfrmMain::CreateShortcuts()
{
    const auto key = [this](const QKeySequence& sequence, auto handler) {
        auto* shortcut = new QShortcut(sequence, this);
        connect(shortcut, &QShortcut::activated, this, [handler] { Guarded(handler); });
    };
    key(QKeySequence(Qt::CTRL | Qt::Key_Return), [this] { btnCheck->click(); });
    key(QKeySequence(Qt::CTRL | Qt::Key_Enter), [this] { btnCheck->click(); });
    key(QKeySequence(Qt::CTRL | Qt::Key_Left), [this] { btnL->click(); });
    key(QKeySequence(Qt::CTRL | Qt::Key_Right), [this] { btnR->click(); });
    const auto zoomBy = [this](int step) { ZoomStep(step); };
    for (const QKeySequence& in : {QKeySequence(Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Plus),
                                   QKeySequence(Qt::CTRL | Qt::Key_Equal)})
        key(in, [zoomBy] { zoomBy(1); });
    for (const QKeySequence& out : {QKeySequence(Qt::Key_Minus), QKeySequence(Qt::CTRL | Qt::Key_Minus)})
        key(out, [zoomBy] { zoomBy(-1); });
    // The hints name the keys.
    const auto addKey = [](QWidget* control, const char* keys) {
        control->setToolTip(control->toolTip() + QStringLiteral("\n") + QString::fromUtf8(keys));
    };
    addKey(btnCheck, "(Ctrl+Enter)");
    addKey(btnL, "(Ctrl+←)");
    addKey(btnR, "(Ctrl+→)");
    rgZoom->setToolTip(QString::fromUtf8("拡大率を変えます。\n(+ / - キー、Ctrl+ホイール)"));
}

int TfrmMain::SourceHue(int position) { return ((240 - position) % 360 + 360) % 360; }

QString TfrmMain::HueTip(int hue)
{
    const TRGBBytes rgb = TColorConvert::HSVToRGB(hue, 1, 1);
    const QString colour = QColor(rgb.R, rgb.G, rgb.B).name();
    return QStringLiteral("<table><tr><td style=\"background-color:%1\" width=\"24\">&nbsp;</td>"
                          "<td>&nbsp;%2 %3°</td></tr></table>")
        .arg(colour, QString::fromUtf8("色相"))
        .arg(hue);
}

void TfrmMain::RunBusy(int64_t pixels, const std::function<void()>& work)
{
    if (pixels <= BusyPixels || busy_) {
        work();
        return;
    }
    // What could change the pictures meanwhile is off until the work is over; the zoom and the
    // scrolling, which change no picture, keep working.
    QWidget* inputs[] = {btnLoad, btnSave, btnCheck, btnL, btnR, gb};
    std::vector<QWidget*> disabled;
    for (QWidget* input : inputs)
        if (input->isEnabled()) {
            input->setEnabled(false);
            disabled.push_back(input);
        }
    busy_ = true;
    setAcceptDrops(false);
    QApplication::setOverrideCursor(Qt::BusyCursor);
    pbBusy->show();
    std::exception_ptr error;
    TBackgroundWork job;
    job.Start([&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
    });
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (job.Done()) loop.quit();
    });
    poll.start(10);
    loop.exec();
    job.Join();
    pbBusy->hide();
    QApplication::restoreOverrideCursor();
    setAcceptDrops(true);
    busy_ = false;
    for (QWidget* input : disabled) input->setEnabled(true);
    if (error) std::rethrow_exception(error);
    // Settings moved while the window was busy: the mask and preview catch up.
    if (livePending_ && !liveJob_.Running()) {
        livePending_ = false;
        UpdateLive();
    }
}

void TfrmMain::ZoomStep(int step)
{
    const int index = std::clamp(ZoomIndex() + step, 0, rgZoom->Count() - 1);
    if (index != rgZoom->ItemIndex() || actFit->isChecked()) rgZoom->Button(index)->click();
}

int TfrmMain::ZoomIndex() const
{
    const int shown = rgZoom->ItemIndex();
    return shown >= 0 ? shown : fitZoom_;
}

void TfrmMain::SetZoomIndex(int index)
{
    fitZoom_ = index;
    rgZoom->SetItemIndex(actFit->isChecked() ? -1 : index);
}

// Fitted, the picture is shown at no factor of the group: none is selected until the fit ends.
void TfrmMain::FitToggled(bool on)
{
    SetZoomIndex(on ? ZoomIndex() : fitZoom_);
    rgZoomClick();
}

void TfrmMain::ShowHueReadouts()
{
    const int position = tbWidth->value();
    const int source = SourceHue(position);
    pnWidth->SetText(QStringLiteral("%1°").arg(source));
    pnWidth->setToolTip(QString::fromUtf8(SourcePreviewHint) +
                        QString::fromUtf8("\n元の色: 色相 %1° (ｽﾗｲﾀﾞｰの位置 %2、色相を逆向きに並べた目盛り)")
                            .arg(source)
                            .arg(position));
    const int target = tb->value() % 360;
    pntb->SetText(QStringLiteral("%1°").arg(target));
    pntb->setToolTip(QString::fromUtf8(TargetPreviewHint) + QString::fromUtf8("\n変えた後の色: 色相 %1°").arg(target));
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event)
{
    // Anywhere in either pane, not only over the picture, a right click opens the pane menu.
    if (event->type() == QEvent::ContextMenu && (watched == sbBefore->viewport() || watched == sbAfter->viewport())) {
        PaneMenu->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
        return true;
    }
    // A double click anywhere in the grid's box starts the list editor, as one on a swatch does.
    if (event->type() == QEvent::MouseButtonDblClick && watched == SB1->viewport() &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Guarded([this] { imgColorDblClick(); });
        return true;
    }
    // Ctrl+wheel over either pane steps the zoom.
    if (event->type() == QEvent::Wheel && (watched == sbBefore->viewport() || watched == sbAfter->viewport())) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (wheel->modifiers() & Qt::ControlModifier) {
            const int delta = wheel->angleDelta().y();
            if (delta != 0) Guarded([&] { ZoomStep(delta > 0 ? 1 : -1); });
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmMain::ShowCentred()
{
    const QSettings settings(QString::fromLatin1(SettingsOrganization), QString::fromLatin1(SettingsApplication));
    QSize size = settings.value(QStringLiteral("window/size")).toSize();
    const bool maximised = settings.value(QStringLiteral("window/maximised"), false).toBool();
    if (!size.isValid()) size = QSize(ClientWidth, ClientHeight);
    const QScreen* screen = QGuiApplication::primaryScreen();
    // A size remembered on a larger screen is cut to this one.
    if (screen) size = size.boundedTo(screen->availableGeometry().size());
    resize(size.expandedTo(minimumSize()));
    if (screen) {
        const QRect desktop = screen->availableGeometry();
        move(desktop.center() - QPoint(width() / 2, height() / 2));
    }
    if (maximised)
        showMaximized();
    else
        show();
}

void TfrmMain::RememberSize() const
{
    QSettings settings(QString::fromLatin1(SettingsOrganization), QString::fromLatin1(SettingsApplication));
    // The size the window returns to when it is no longer maximised.
    const QSize normal = isMaximized() && normalGeometry().isValid() ? normalGeometry().size() : size();
    settings.setValue(QStringLiteral("window/size"), normal);
    settings.setValue(QStringLiteral("window/maximised"), isMaximized());
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    // The work in progress ends first: its result belongs to the pictures closing would free.
    if (busy_) {
        event->ignore();
        return;
    }
    bool close = false;
    Guarded([&] { close = MayClose(); });
    if (!close) {
        event->ignore();
        return;
    }
    RememberSize();
    Guarded([this] { FormClose(); });
    event->accept();
}

bool TfrmMain::MayClose()
{
    if (!Unsaved()) return true;
    switch (Dialogs().AskSaveChanges(this, "変更した絵はまだ保存されていません。\n閉じる前に保存しますか?",
                                     ApplicationTitle)) {
    case TSaveAnswer::Save:
        // A cancelled or refused save keeps the window open, as does a failing one (raised).
        btnSaveClick();
        return !Unsaved();
    case TSaveAnswer::Discard: return true;
    case TSaveAnswer::Cancel: break;
    }
    return false;
}

void TfrmMain::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    LayOut();
}

void TfrmMain::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // The labels have taken the new font already.
    if (event->type() == QEvent::FontChange) LayOut();
}

void TfrmMain::LayOut()
{
    if (!created_) return;
    const int grownWidth = std::max(0, width() - ClientWidth);
    const int grownHeight = std::max(0, height() - ClientHeight);
    // The panes share the new width and take all the new height; the L, zoom and R column stays
    // between them, as far from their middle as designed; what lies above or below a pane
    // moves with it.
    const int left = grownWidth / 2, right = grownWidth - left, middle = grownHeight / 2;
    // An animation's frame control takes the panes' lowest pixels.
    const int barRoom = FrameBar->isHidden() ? 0 : FrameBarRoom;
    sbBefore->setGeometry(BeforeBox.adjusted(0, 0, left, grownHeight - barRoom));
    sbAfter->setGeometry(AfterBox.translated(left, 0).adjusted(0, 0, right, grownHeight - barRoom));
    FrameBar->setGeometry(QRect(QPoint(sbBefore->x(), sbBefore->geometry().bottom() + 4),
                                QPoint(sbAfter->geometry().right(), sbBefore->geometry().bottom() + barRoom - 2)));
    btnL->setGeometry(LeftButton.translated(left, middle));
    rgZoom->setGeometry(ZoomGroup.translated(left, middle));
    btnR->setGeometry(RightButton.translated(left, middle));
    btnLoad->setGeometry(LoadButton);
    btnSave->setGeometry(SaveButton.translated(left, 0));
    gb->setGeometry(ChangeGroup.translated(0, grownHeight));
    SB1->setGeometry(GridBox.translated(left, grownHeight).adjusted(0, 0, right, 0));
    pbBusy->setGeometry(BusyBar.translated(left, grownHeight).adjusted(0, 0, right, 0));
    PlaceCredit();
    PlaceToleranceLabel();
    // A picture fitted to the pane follows the pane's size.
    if (actFit->isChecked()) Guarded([this] { rgZoomClick(); });
}

// The tolerance caption's two lines in a font taller than the 12 pixels the layout was made for
// (as a Japanese desktop may choose) would be cut at the design height: the caption grows
// downwards just enough, below the target caption and inside its group box.
void TfrmMain::PlaceToleranceLabel()
{
    const QRect text = Label3->fontMetrics().boundingRect(QRect(0, 0, ToleranceCaption.width(), ClientHeight),
                                                          Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                                                          Label3->text());
    const int height = std::max(ToleranceCaption.height(), text.height());
    int top = std::max(ToleranceCaption.top(), Label2->geometry().bottom() + 1);
    top = std::max(0, std::min(top, gb->height() - 2 - height));
    Label3->setGeometry(ToleranceCaption.left(), top, ToleranceCaption.width(), height);
}

std::string TfrmMain::DroppablePicture(const QMimeData* data)
{
    if (!data || !data->hasUrls() || data->urls().size() != 1) return {};
    const QUrl url = data->urls().first();
    if (!url.isLocalFile()) return {};
    const std::string path = PathFromQString(url.toLocalFile());
    if (KindOfExtension(ExtractExtension(path), false) == nullptr) return {};
    return path;
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event)
{
    if (!busy_ && !DroppablePicture(event->mimeData()).empty()) event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event)
{
    const std::string path = DroppablePicture(event->mimeData());
    if (path.empty() || busy_) return;
    event->acceptProposedAction();
    Guarded([&] { OpenFile(path); });
}

std::string TfrmMain::CreditText()
{
    return std::string("Tintabrel 2026\r") + "PNG: VRQPNG ver 3.4\r" + "ZLIB ver " + zlibVersion();
}

// ---------------------------------------------------------------- start and end

void TfrmMain::FormCreate()
{
    bmpBefore = std::make_unique<TPictureData>();
    bmpAfter = std::make_unique<TPictureData>();
    ColorList = std::make_unique<TStringList>();
    listBytes_ = FileBytes(exeDir_ + "ColorList.dat");
    ColorList->LoadFromFile(exeDir_ + "ColorList.dat");
    ShowList();
    lbl->SetCaption(CreditText());
    PlaceCredit();
    Label2->SetCaption("変えた\r後の色");
    Label3->SetCaption("誤差\r補正値");
    lblHose->SetCaption(std::to_string(tbHose->value()));
    tbWidthChange();
    sbBefore->SetSmoothScrolling(true);
    sbAfter->SetSmoothScrolling(true);
}

void TfrmMain::FormClose()
{
    History.Clear();
    bmpBefore.reset();
    bmpAfter.reset();
    ColorList.reset();
}

void TfrmMain::WatchList()
{
    listWatcher_ = new QFileSystemWatcher(this);
    listReload_ = new QTimer(this);
    listReload_->setSingleShot(true);
    // An editor may write the file in several steps: read it once they are over.
    listReload_->setInterval(150);
    connect(listReload_, &QTimer::timeout, this, [this] { Guarded([this] { ReloadList(); }); });
    const auto changed = [this] {
        // A file saved through a new file and a rename is a new file: watch it again.
        const QString path = ToQString(exeDir_ + "ColorList.dat");
        if (IsExistingFile(exeDir_ + "ColorList.dat") && !listWatcher_->files().contains(path))
            listWatcher_->addPath(path);
        listReload_->start();
    };
    connect(listWatcher_, &QFileSystemWatcher::fileChanged, this, changed);
    connect(listWatcher_, &QFileSystemWatcher::directoryChanged, this, changed);
    // The folder tells when the file appears or is replaced.
    QString folder = ToQString(exeDir_);
    if (folder.isEmpty()) folder = QStringLiteral(".");
    listWatcher_->addPath(folder);
    if (IsExistingFile(exeDir_ + "ColorList.dat")) listWatcher_->addPath(ToQString(exeDir_ + "ColorList.dat"));
}

void TfrmMain::ReloadList()
{
    if (!ColorList) return;
    const std::string path = exeDir_ + "ColorList.dat";
    if (!IsExistingFile(path)) return; // gone for a moment while the editor replaces it
    const std::string bytes = FileBytes(path);
    if (bytes == listBytes_) return;
    listBytes_ = bytes;
    TStringList fresh;
    fresh.LoadFromFile(path);
    *ColorList = fresh;
    ShowList();
    UpdateLive();
}

void TfrmMain::ShowList()
{
    tintabrel::ShowList(*ColorList, exeDir_ + "moto.bmp", imgColor->Picture.Bitmap());
}

// ---------------------------------------------------------------- loading and saving

int TfrmMain::ZoomFactor() const { return ZoomIndex() + 1; }

// Each pane shows its picture.
void TfrmMain::ShowPictures()
{
    UpdateFrameBar();
    ShowPane(imgBefore, *bmpBefore);
    ShowAfter();
}

void TfrmMain::ShowAfter()
{
    ShowPane(imgAfter, *bmpAfter);
    UpdateTitle();
}

// The loaded file's name before the program's, marked while the after picture is not the one
// last loaded or saved.
void TfrmMain::UpdateTitle()
{
    QString title = QString::fromLatin1(ApplicationTitle);
    if (bmpAfter && bmpBefore && !bmpBefore->Image.Empty() && !od.FileName.empty()) {
        const std::string name = std::filesystem::path(od.FileName).filename().string();
        title = (Unsaved() ? QStringLiteral("*") : QString()) + ToQString(name) + QStringLiteral(" - ") + title;
    }
    setWindowTitle(title);
}

bool TfrmMain::Unsaved() const
{
    return bmpAfter && bmpBefore && !bmpBefore->Image.Empty() && !od.FileName.empty() &&
           bmpAfter->Image.Image() != cleanAfter_.Image();
}

// The before picture changed: a mask or preview still being made for the old one is dropped.
void TfrmMain::PicturesChanged()
{
    ++pictureGeneration_;
    UpdateLive(false);
}

// Both panes show their pictures at the current zoom, from their top-left corner.
void TfrmMain::ResetPanes()
{
    rgZoomClick();
    ShowPictures();
}

void TfrmMain::btnLoadClick()
{
    const TUndoStep step = BeginStep();
    if (!Dialogs().ExecuteOpen(this, od)) return;
    LoadChosenFile();
}

void TfrmMain::OpenFile(const std::string& path)
{
    const TUndoStep step = BeginStep();
    // The check command reads this path again, as it does the open dialog's choice.
    od.FileName = path;
    LoadChosenFile();
}

std::string TfrmMain::FileArgument(const QStringList& arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument.isEmpty()) continue;
        QString path = argument;
        // A URL (as a desktop's %u passes it) counts only when it names a local file.
        if (argument.startsWith(QStringLiteral("file:"), Qt::CaseInsensitive) ||
            argument.contains(QStringLiteral("://"))) {
            const QUrl url(argument);
            if (!url.isLocalFile()) return {};
            path = url.toLocalFile();
        }
        // The check and the save's suggestion read the path later, whatever folder is current.
        return PathFromQString(QFileInfo(path).absoluteFilePath());
    }
    return {};
}

void TfrmMain::OpenArguments(const QStringList& arguments)
{
    const std::string path = FileArgument(arguments);
    if (path.empty()) return;
    // Once the window shows: a failure's message, or a large file's progress, appear over it.
    QTimer::singleShot(0, this, [this, path] { Guarded([&] { OpenFile(path); }); });
}

namespace {

// Large pictures load and recolour on every core.
unsigned Cores() { return std::max(1u, std::thread::hardware_concurrency()); }

} // namespace

// Bytes a pixel the window holds beside the work of loading: the panes' screen copies, the mask
// and the preview.
constexpr int64_t HeldBytesPerPixel = 8;

void TfrmMain::LoadChosenFile()
{
    // ".png" and ".bmp" in any letter case; another extension loads nothing and keeps both pictures.
    // What the file is, its bytes tell, as they tell the command-line tool.
    const TPictureKind byName = KindOfExtension(ExtractExtension(od.FileName), false);
    if (byName != nullptr) {
        TPictureSource source(od.FileName);
        source.RequireKind(byName);
        // Refused before anything is sized for the picture: a picture the memory cannot hold, or
        // a tiny file that declares a huge one.
        const int64_t pixels = source.Check(TSourceLimits{}, TTruncatedPixels::ReadAsZero);
        source.CheckMemory(MemoryBudget > 0 ? MemoryBudget : TMemoryBudget::FromAvailableMemory(), TPNGSaveOptions{},
                           HeldBytesPerPixel);
        TPictureData data;
        // A large PNG reads faster with its image data inflated ahead on a second core.
        TLoadOptions options;
        options.Threads = Cores();
        TPipelineOutput loaded;
        loaded.Take = [&data](TPictureData& picture) { data.Assign(picture); };
        std::vector<TPipelineResult> results;
        RunBusy(pixels, [&] { results = RunPicturePipeline(source, options, {loaded}); });
        if (results.front().Error) std::rethrow_exception(results.front().Error);
        bmpBefore->Assign(data);
        // The loaded picture is the after picture too, so L, R and save act on it.
        bmpAfter->Assign(data);
        cleanAfter_.Assign(bmpAfter->Image);
        FrameBar->SetIndex(0); // an animation starts at its first frame
        // A rectangle of another picture means nothing to this one.
        dragFrom_.reset();
        SetSelection(std::nullopt);
    }
    ResetPanes();
    PicturesChanged();
}

void TfrmMain::btnSaveClick()
{
    // Suggested: the loaded file's name with the target hue, in its folder.
    if (!od.FileName.empty() && bmpBefore && !bmpBefore->Image.Empty()) {
        const std::filesystem::path loaded(od.FileName);
        sd.FileName = (loaded.parent_path() / (loaded.stem().string() + "_" + std::to_string(tb->value()) + ".png"))
                          .string();
    }
    // An animation is offered in its own format; the filter chosen for still pictures stays theirs.
    const bool animated = bmpAfter && bmpAfter->Animated();
    const int stillFilter = sd.FilterIndex;
    const TScopeGuard keepStillFilter([&] {
        if (animated) sd.FilterIndex = stillFilter;
    });
    if (animated) OfferAnimationSave();
    if (!Dialogs().ExecuteSave(this, sd)) return;
    // A name typed without extension gets the chosen filter's one (the default one under "all
    // files"), as the dialog itself adds it.
    if (!sd.FileName.empty() && ExtractExtension(sd.FileName).empty()) {
        const std::string extension = FilterExtension(sd);
        if (!extension.empty()) sd.FileName += "." + extension;
    }
    {
        const QSignalBlocker quiet(actFit);
        actFit->setChecked(false);
    }
    SetZoomIndex(0);
    rgZoomClick();
    const std::string extension = ExtractExtension(sd.FileName);
    const TPictureKind kind = KindOfExtension(extension, true);
    if (kind == nullptr) {
        ShowMessage(this, extension + "クイズ！無理オネア");
        return;
    }
    if (IsExistingFile(sd.FileName) &&
        !Dialogs().Confirm(this, sd.FileName + " は既に存在します。\n上書きしますか?", ApplicationTitle))
        return;
    // A format that keeps no animation gets the frame shown, as a still picture; the user is told
    // when there were more.
    const bool still = animated && !KeepsAnimation(kind, extension, sd.FilterIndex);
    const bool oneFrame = still && bmpAfter->Animation->Frames.size() > 1;
    TPictureData picture;
    if (still)
        picture = ShownStill(*bmpAfter);
    else
        picture.Assign(*bmpAfter);
    TPipelineOutput saved;
    saved.Kind = kind;
    saved.Path = sd.FileName;
    std::vector<TPipelineResult> results;
    RunBusy(WorkPixels(picture), [&] { results = RunPicturePipeline(picture, {saved}); });
    if (results.front().Error) RethrowSaveFailure(results.front().Error, kind);
    // One frame of an animation is not the animation saved: closing still asks about it.
    if (!oneFrame) cleanAfter_.Assign(bmpAfter->Image);
    UpdateTitle();
    // BMP has no place for transparency: the file is written all the same, and the user is told.
    const std::string alphaLost = !kind->Has(fmtAlpha) && HasTransparency(picture)
                                      ? "BMP形式では透明度を保存できないため、透明な部分は不透明になりました"
                                      : "";
    if (oneFrame)
        ShowMessage(this, StillFrameNote(kind) + (alphaLost.empty() ? "" : "\n" + alphaLost));
    else if (!alphaLost.empty())
        ShowMessage(this, alphaLost);
}

// ---------------------------------------------------------------- the check command

void TfrmMain::tbChange()
{
    // Runs only while the picture last chosen for loading still exists.
    if (!IsExistingFile(od.FileName)) return;
    const TUndoStep step = BeginStep();
    const THueWindow window = CurrentWindow();
    const TChangeRegion region = CurrentRegion();
    LastWindow = window;
    LastSelection = region.Rect;
    // A palette picture's result keeps its palette (the entries recoloured, the indices and the
    // per-index alpha as they were), as the command-line tool writes it; every pixel keeps its
    // transparency.
    const TProtectedColors colors(*ColorList);
    TPictureData result;
    TPipelineOutput checked;
    checked.Change = [&](TPictureData& picture) {
        ApplyChangeInPlace(picture, colors, window, false, nullptr, Cores(), region);
    };
    checked.Take = [&result](TPictureData& picture) { result.Assign(picture); };
    std::vector<TPipelineResult> results;
    RunBusy(WorkPixels(*bmpBefore), [&] { results = RunPicturePipeline(*bmpBefore, {checked}); });
    if (results.front().Error) std::rethrow_exception(results.front().Error);
    bmpAfter->Assign(result);
    ShowAfter();
}

THueWindow TfrmMain::CurrentWindow() const
{
    THueWindow window;
    window.Source = tbWidth->value();
    window.Tolerance = tbHose->value();
    window.Target = tb->value();
    for (const auto& [def, action] : HueActions) def->Set(window, action->isChecked());
    for (const auto& [def, group] : HueGroups) def->Set(window, group->checkedAction() ? group->checkedAction()->data().toInt() : 0);
    return window;
}

TChangeRegion TfrmMain::CurrentRegion() const
{
    TChangeRegion region{selection_, nullptr};
    if (!selection_ || !bmpBefore || !region.Fits(bmpBefore->Image.Width(), bmpBefore->Image.Height())) return {};
    return region;
}

void TfrmMain::SetSelection(const std::optional<TRegionRect>& selection)
{
    selection_ = selection;
    const QRect frame = selection ? QRect(selection->X, selection->Y, selection->Width, selection->Height) : QRect();
    imgBefore->SetFrame(frame);
    imgAfter->SetFrame(frame);
    actClearSelection->setEnabled(selection.has_value());
}

// ---------------------------------------------------------------- mask and live preview

void TfrmMain::CreatePaneMenu()
{
    PaneMenu = new QMenu(this);
    PaneMenu->setToolTipsVisible(true);
    const auto item = [this](const char* text, const QKeySequence& key, bool checked, const char* hint) {
        auto* action = new QAction(QString::fromUtf8(text), this);
        action->setCheckable(true);
        action->setChecked(checked);
        if (!key.isEmpty()) action->setShortcut(key);
        action->setToolTip(QString::fromUtf8(hint));
        // The keys work anywhere in the window, not only while the menu is open.
        addAction(action);
        PaneMenu->addAction(action);
        return action;
    };
    actMask = item("変化する画素を表示(&M)", QKeySequence(Qt::Key_M), false,
                   "今の設定で色が変わる画素に印を付けます。変化禁止の色で守られる画素は別の色で示します。");
    actPreview = item("変化をその場で表示(&P)", QKeySequence(Qt::Key_P), false,
                      "ｽﾗｲﾀﾞｰを動かすと、右の絵がすぐにﾁｪｯｸした結果になります。");
    actChecker = item("透明な部分を市松模様で表示(&T)", QKeySequence(), true,
                      "透明な画素と半透明な画素の下に市松模様を表示します。保存する絵は変わりません。");
    actFit = item("枠に合わせて表示(&F)", QKeySequence(Qt::Key_F), false,
                  "絵全体が枠に収まる大きさで表示します。拡大率を選ぶと元に戻ります。");
    actClearSelection = item("選んだ範囲を解除(&C)", QKeySequence(Qt::Key_Escape), false,
                             "Shift+ドラッグで左の絵に選んだ範囲を解除します。範囲がある間は、ﾁｪｯｸ・印・その場の表示は"
                             "範囲の中だけに働きます。");
    actClearSelection->setCheckable(false);
    actClearSelection->setEnabled(false);
    PaneMenu->addSeparator();
    // The hue window's options as their table describes them: a flag is an item, a number a
    // submenu of its choices.
    for (const THueOptionDef& o : HueOptions()) {
        if (o.Flag) {
            HueActions.push_back({&o, item(o.MenuText, QKeySequence(), false, o.MenuHint)});
            continue;
        }
        QMenu* sub = PaneMenu->addMenu(QString::fromUtf8(o.MenuText));
        sub->setToolTipsVisible(true);
        auto* group = new QActionGroup(this);
        group->setExclusive(true);
        for (int value : o.MenuChoices) {
            auto* action = new QAction(value == 0 ? QString::fromUtf8("なし") : QString::fromUtf8("%1度").arg(value), group);
            action->setCheckable(true);
            action->setChecked(value == 0);
            action->setData(value);
            action->setToolTip(QString::fromUtf8(o.MenuHint));
            sub->addAction(action);
        }
        HueGroups.push_back({&o, group});
    }
    const auto flag = [this](const char* name) {
        for (const auto& [def, action] : HueActions)
            if (std::string(def->Name) == name) return action;
        return static_cast<QAction*>(nullptr);
    };
    actWrap = flag("wrap");
    actShift = flag("shift");
    actVisibleOnly = flag("visible-only");
    actKeepLightness = flag("keep-lightness");
    agSoft = HueGroups.front().second;

    connect(actFit, &QAction::toggled, this, [this](bool on) { Guarded([this, on] { FitToggled(on); }); });
    connect(actChecker, &QAction::toggled, this, [this](bool on) {
        imgBefore->SetCheckerboard(on);
        imgAfter->SetCheckerboard(on);
    });
    for (QAction* action : {actMask, actPreview})
        connect(action, &QAction::toggled, this, [this] { Guarded([this] { UpdateLive(); }); });
    connect(actClearSelection, &QAction::triggered, this, [this] {
        Guarded([this] {
            dragFrom_.reset();
            SetSelection(std::nullopt);
            UpdateLive();
        });
    });
    for (const auto& [def, action] : HueActions)
        connect(action, &QAction::toggled, this, [this] { Guarded([this] { UpdateLive(); }); });
    for (const auto& [def, group] : HueGroups)
        connect(group, &QActionGroup::triggered, this, [this] { Guarded([this] { UpdateLive(); }); });
}

void TfrmMain::UpdateLive(bool preview)
{
    if (!bmpBefore || !ColorList) return;
    const bool wantMask = actMask->isChecked() && !bmpBefore->Image.Empty();
    // The preview is the check's result: it follows the same rule about the chosen file.
    const bool wantAfter = preview && actPreview->isChecked() && IsExistingFile(od.FileName);
    if (!wantMask) imgBefore->SetOverlay(QImage());
    if (!wantMask && !wantAfter) return;
    if (liveJob_.Running() || busy_) {
        // The newest settings win: one more run once this one is over.
        livePending_ = true;
        return;
    }
    auto before = std::make_shared<TPictureData>();
    before->Assign(*bmpBefore);
    auto colors = std::make_shared<TProtectedColors>(*ColorList);
    const THueWindow window = CurrentWindow();
    const TChangeRegion region = CurrentRegion();
    LastWindow = window;
    LastSelection = region.Rect;
    const uint64_t generation = pictureGeneration_;
    const size_t frame = ShownFrame();
    const int64_t pixels = WorkPixels(*before);
    if (pixels <= LiveSyncPixels) {
        TLiveResult result;
        ComputeLive(*before, *colors, window, wantAfter, wantMask, Cores(), result, region, frame);
        ApplyLive(result, generation, wantAfter, wantMask);
        return;
    }
    ++AsyncLiveRuns;
    liveJob_.Start([this, before, colors, window, region, generation, wantAfter, wantMask, frame] {
        auto result = std::make_shared<TLiveResult>();
        std::exception_ptr error;
        try {
            ComputeLive(*before, *colors, window, wantAfter, wantMask, Cores(), *result, region, frame);
        } catch (...) {
            error = std::current_exception();
        }
        QMetaObject::invokeMethod(
            this, [this, result, error, generation, wantAfter, wantMask] {
                Guarded([&] { LiveDone(result, error, generation, wantAfter, wantMask); });
            },
            Qt::QueuedConnection);
    });
}

void TfrmMain::LiveDone(const std::shared_ptr<TLiveResult>& result, std::exception_ptr error, uint64_t generation,
                        bool preview, bool mask)
{
    liveJob_.Join();
    // The settings moved on meanwhile: this result shows for now, the newest follows.
    const bool again = livePending_;
    livePending_ = false;
    if (again) UpdateLive();
    if (error) std::rethrow_exception(error);
    ApplyLive(*result, generation, preview, mask);
}

void TfrmMain::ApplyLive(const TLiveResult& result, uint64_t generation, bool preview, bool mask)
{
    if (generation != pictureGeneration_ || !bmpAfter) return; // made for a picture shown no more
    // Marks of a frame shown no more wait for those of the frame shown now.
    if (mask && actMask->isChecked() && result.Frame == ShownFrame()) imgBefore->SetOverlay(result.Mask);
    if (preview && actPreview->isChecked()) {
        bmpAfter->Assign(result.After);
        ShowAfter();
    }
}

// ---------------------------------------------------------------- view and editing controls

void TfrmMain::rgZoomClick()
{
    const int z = ZoomFactor();
    int width = bmpBefore->Image.Width() * z, height = bmpBefore->Image.Height() * z;
    if (actFit->isChecked() && width > 0 && height > 0) {
        // The whole picture in the pane, as large as fits, its proportions kept.
        const QSize room = sbBefore->viewport()->size();
        const double scale = std::min(double(room.width()) / bmpBefore->Image.Width(),
                                      double(room.height()) / bmpBefore->Image.Height());
        width = std::max(1, int(bmpBefore->Image.Width() * scale));
        height = std::max(1, int(bmpBefore->Image.Height() * scale));
    }
    PlaceImage(sbBefore, imgBefore, width, height);
    PlaceImage(sbAfter, imgAfter, width, height);
}

void TfrmMain::sbBeforeConstrainedResize() { CopyScrollPositions(sbBefore, sbAfter); }

void TfrmMain::sbAfterConstrainedResize() { CopyScrollPositions(sbAfter, sbBefore); }

// The panes keep their sizes and scroll positions.
void TfrmMain::btnLClick()
{
    const TUndoStep step = BeginStep();
    bmpBefore->Assign(*bmpAfter);
    ShowPictures();
    PicturesChanged();
}

void TfrmMain::btnRClick()
{
    const TUndoStep step = BeginStep();
    bmpAfter->Assign(*bmpBefore);
    ShowPictures();
}

// ---------------------------------------------------------------- undo and redo

TUndoStep TfrmMain::BeginStep()
{
    return TUndoStep(History, [this] { return CaptureState(); });
}

std::unique_ptr<TWindowState> TfrmMain::CaptureState() const
{
    auto state = std::make_unique<TWindowState>();
    state->Before.Assign(*bmpBefore);
    state->After.Assign(*bmpAfter);
    state->Zoom = ZoomIndex();
    state->Clean.Assign(cleanAfter_);
    state->Path = od.FileName;
    state->ScrollX = sbBefore->horizontalScrollBar()->value();
    state->ScrollY = sbBefore->verticalScrollBar()->value();
    state->Selection = selection_;
    return state;
}

void TfrmMain::RestoreState(const TWindowState& state)
{
    bmpBefore->Assign(state.Before);
    bmpAfter->Assign(state.After);
    SetZoomIndex(state.Zoom);
    cleanAfter_.Assign(state.Clean);
    od.FileName = state.Path;
    dragFrom_.reset();
    SetSelection(state.Selection);
    ResetPanes();
    // The panes scroll back to where they were.
    sbBefore->horizontalScrollBar()->setValue(state.ScrollX);
    sbBefore->verticalScrollBar()->setValue(state.ScrollY);
    PicturesChanged();
    UpdateTitle();
}

void TfrmMain::Undo()
{
    if (busy_) return;
    if (History.CanUndo()) RestoreState(*History.Undo(CaptureState()));
}

void TfrmMain::Redo()
{
    if (busy_) return;
    if (History.CanRedo()) RestoreState(*History.Redo(CaptureState()));
}

QPoint TfrmMain::BeforePixel(int x, int y) const
{
    const TBitmap& shown = imgBefore->Picture.Bitmap();
    if (actFit->isChecked() && !shown.Empty() && imgBefore->width() > 0 && imgBefore->height() > 0) {
        // Fitted to the pane: the pixel under the pointer at whatever scale that is.
        return QPoint(int(int64_t{x} * shown.Width() / imgBefore->width()), int(int64_t{y} * shown.Height() / imgBefore->height()));
    }
    const int z = ZoomFactor();
    return QPoint(x / z, y / z);
}

void TfrmMain::imgBeforeMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y)
{
    // The right button opens the pane menu and must not move the source meanwhile; only the
    // left button picks.
    if (button != Qt::LeftButton) return;
    const QPoint pixel = BeforePixel(x, y);
    // With Shift the press may begin a selection (a drag); as a click it picks all the same.
    dragFrom_.reset();
    const bool inPicture = bmpBefore && pixel.x() >= 0 && pixel.y() >= 0 && pixel.x() < bmpBefore->Image.Width() &&
                           pixel.y() < bmpBefore->Image.Height();
    if ((shift & Qt::ShiftModifier) && inPicture) {
        dragFrom_ = std::pair{pixel.x(), pixel.y()};
        dragged_ = false;
        sourceBeforeDrag_ = tbWidth->value();
    }
    const TColor color = imgBefore->Picture.Bitmap().Canvas().Pixels(pixel.x(), pixel.y());
    // A grey pixel (an empty pane reads as white) has no hue to pick: the slider stays.
    if (const std::optional<int> p = PickedSourcePosition(color)) tbWidth->setValue(*p);
}

void TfrmMain::imgBeforeMouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers, int x, int y)
{
    if (!dragFrom_) return;
    if (!(buttons & Qt::LeftButton)) { // its release went elsewhere
        dragFrom_.reset();
        return;
    }
    DragSelection(BeforePixel(x, y));
}

void TfrmMain::imgBeforeMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers, int x, int y)
{
    if (button != Qt::LeftButton || !dragFrom_) return;
    DragSelection(BeforePixel(x, y));
    dragFrom_.reset();
    if (dragged_) UpdateLive();
}

void TfrmMain::DragSelection(const QPoint& pointer)
{
    if (!bmpBefore || bmpBefore->Image.Empty()) return;
    const int x = std::clamp(pointer.x(), 0, bmpBefore->Image.Width() - 1);
    const int y = std::clamp(pointer.y(), 0, bmpBefore->Image.Height() - 1);
    const auto [fromX, fromY] = *dragFrom_;
    if (!dragged_) {
        if (x == fromX && y == fromY) return; // still a click
        // A drag selects and picks nothing: the source goes back to where the press found it.
        dragged_ = true;
        tbWidth->setValue(sourceBeforeDrag_);
    }
    SetSelection(TRegionRect{std::min(x, fromX), std::min(y, fromY), std::abs(x - fromX) + 1, std::abs(y - fromY) + 1});
}

void TfrmMain::tbWidthChange()
{
    int a = 360 - tbWidth->value() + 80;
    if (a > 360) a -= 360;
    if (a < 0) a += 360;
    const TRGBBytes rgb = TColorConvert::HSVToRGB(a == 360 ? 0 : a, 1, 1);
    pnWidth->SetColor(MakeColor(static_cast<uint8_t>(255 - rgb.R), static_cast<uint8_t>(255 - rgb.G),
                                static_cast<uint8_t>(255 - rgb.B)));
}

void TfrmMain::tbChangeColor(QSlider* sender)
{
    const TRGBBytes rgb = TColorConvert::HSVToRGB(sender->value(), 1, 1);
    pntb->SetColor(MakeColor(rgb.R, rgb.G, rgb.B));
}

void TfrmMain::tbHoseChange() { lblHose->SetCaption(std::to_string(tbHose->value())); }

void TfrmMain::imgColorDblClick()
{
    std::string path = exeDir_ + "Swatchwright";
    // An installed window keeps its data files apart from its programs.
    if (!IsExistingFile(path)) path = ProgramDir() + "Swatchwright";
    if (IsExistingFile(path))
        Dialogs().StartProgram(path); // not waited for; a failing start is not reported
    else
        ShowMessage(this, "Swatchwrightがないです");
}

void TfrmMain::lblClick()
{
    lbl->SetCaption("よしこさん飯はまだかのぅ。");
    PlaceCredit();
}

// The credit label keeps its place unless its text would reach the window's bottom edge; then it
// moves up just enough.
void TfrmMain::PlaceCredit()
{
    const int grown = std::max(0, height() - ClientHeight);
    lbl->move(CreditLeft, std::min(CreditTop + grown, ClientHeight + grown - BottomMargin - lbl->height()));
}

// ---------------------------------------------------------------- animations

void TfrmMain::CreateFrameBar()
{
    FrameBar = new TFrameBar(this);
    FrameBar->hide();
    FrameBar->OnChange = [this](int index) { Guarded([this, index] { ShowFrame(static_cast<size_t>(index)); }); };
    // The keys step the frames round, wherever the focus is.
    for (const auto& [key, by] : {std::pair{Qt::Key_Comma, -1}, std::pair{Qt::Key_Period, 1}}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        connect(shortcut, &QShortcut::activated, this, [this, by = by] {
            Guarded([this, by] {
                if (!FrameBar->isHidden()) FrameBar->Step(by);
            });
        });
    }
}

size_t TfrmMain::ShownFrame() const
{
    if (!bmpBefore || !bmpBefore->Animation || bmpBefore->Animation->Frames.empty()) return 0;
    return std::min(static_cast<size_t>(FrameBar->Index()), bmpBefore->Animation->Frames.size() - 1);
}

void TfrmMain::ShowFrame(size_t index)
{
    if (!bmpBefore || !bmpBefore->Animated()) return;
    FrameBar->SetIndex(static_cast<int>(std::min<size_t>(index, INT32_MAX)));
    UpdateFrameBar();
    ShowPane(imgBefore, *bmpBefore);
    ShowPane(imgAfter, *bmpAfter);
    // The marks are the frame's own: those of the frame left go at once, the new ones follow.
    if (actMask->isChecked()) {
        imgBefore->SetOverlay(QImage());
        UpdateLive(false);
    }
}

void TfrmMain::UpdateFrameBar()
{
    // A single frame (any GIF is an animation of one frame at least) has nothing to choose.
    const TAnimation* animation = bmpBefore && bmpBefore->Animation && bmpBefore->Animation->Frames.size() > 1
                                      ? bmpBefore->Animation.get()
                                      : nullptr;
    const bool wasShown = !FrameBar->isHidden();
    if (animation) {
        FrameBar->SetCount(static_cast<int>(std::min<size_t>(animation->Frames.size(), INT32_MAX)));
        const TFrame& frame = animation->Frames[static_cast<size_t>(FrameBar->Index())];
        FrameBar->SetDelay(frame.DelayNum, frame.DelayDen);
    } else {
        FrameBar->SetCount(1); // nothing to choose: the first frame
    }
    FrameBar->setVisible(animation != nullptr);
    if (wasShown != (animation != nullptr)) LayOut();
}

void TfrmMain::ShowPane(TImage* pane, const TPictureData& picture)
{
    if (!picture.Animation || picture.Animation->Frames.empty()) {
        pane->Picture.Bitmap().Assign(picture.Image);
        pane->SetAlphaPlane(picture.Alpha);
        return;
    }
    // As a viewer shows the frame: the frames before it drawn and disposed of in turn.
    const TAnimation& animation = *picture.Animation;
    const TPictureData shown = ComposeFrame(animation, std::min(ShownFrame(), animation.Frames.size() - 1));
    pane->Picture.Bitmap().Assign(shown.Image);
    pane->SetAlphaPlane(shown.Alpha);
}

void TfrmMain::OfferAnimationSave()
{
    // A GIF as a GIF, an animated PNG as one, under the name the loaded file's kind suggests.
    const bool gif = bmpAfter->Animation->Gif.has_value();
    sd.FilterIndex = gif ? SaveFilterGif : SaveFilterApng;
    if (sd.FileName.empty()) return;
    std::string extension = gif ? ".gif" : ".png";
    std::string loaded = ExtractExtension(od.FileName);
    std::transform(loaded.begin(), loaded.end(), loaded.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (!gif && loaded == ".apng") extension = ".apng";
    sd.FileName = std::filesystem::path(sd.FileName).replace_extension(extension).string();
}

bool TfrmMain::KeepsAnimation(TPictureKind kind, const std::string& extension, int filterIndex) const
{
    if (!kind->Has(fmtAnimation)) return false;
    // PNG is a still picture unless asked for as an animated one.
    if (kind != PngFormat()) return true;
    return extension == ".apng" || filterIndex == SaveFilterApng;
}

TPictureData TfrmMain::ShownStill(const TPictureData& picture) const
{
    const TAnimation& animation = *picture.Animation;
    TPictureData still = ComposeFrame(animation, std::min(ShownFrame(), animation.Frames.size() - 1));
    still.Info = picture.Info; // what the file says beside its pixels
    return still;
}

std::string TfrmMain::StillFrameNote(TPictureKind kind) const
{
    const std::string format = kind == PngFormat() ? "PNG形式(静止画)" : std::string(kind->Name) + "形式";
    const size_t count = bmpAfter->Animation->Frames.size();
    return format + "ではコマを1つしか保存できないため、表示中のコマ(" +
           std::to_string(std::min(ShownFrame(), count - 1) + 1) + " / " + std::to_string(count) +
           ")を保存しました。すべてのコマを保存するには、GIFかｱﾆﾒｰｼｮﾝPNGで保存してください";
}

} // namespace tintabrel
