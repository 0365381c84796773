// The main window: the before and after panes, the three sliders with their previews, the
// protected colour grid, loading, checking and saving.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QStringList>
#include <QWidget>

#include "app/PictureFiles.h"
#include "app/window/Background.h"
#include "app/window/Dialogs.h"
#include "app/window/History.h"
#include "base/StringList.h"
#include "recolour/HueOptions.h"
#include "recolour/HueReplace.h"

class QAction;
class QActionGroup;
class QFileSystemWatcher;
class QMenu;
class QProgressBar;
class QGroupBox;
class QTimer;
class QMimeData;
class QPushButton;
class QSlider;

namespace tintabrel {

struct TLiveResult;
class TFrameBar;
class TImage;
class TLabel;
class TPanel;
class TRadioGroup;
class TScrollBox;

class TfrmMain : public QWidget {
    Q_OBJECT
public:
    // exeDir is the folder (ending in "/") that holds ColorList.dat, moto.bmp and the list editor.
    explicit TfrmMain(std::string exeDir = std::string(), QWidget* parent = nullptr);
    ~TfrmMain() override;

    // The pictures and the protected list, owned from FormCreate to FormClose. Each picture
    // carries its transparency with it. The after picture always belongs to the before picture
    // (a load sets both), and the panes always show them: imgBefore the before picture, imgAfter
    // the after picture, which is what saving writes.
    std::unique_ptr<TPictureData> bmpBefore;
    std::unique_ptr<TPictureData> bmpAfter;
    std::unique_ptr<TStringList> ColorList;
    // Undo and redo of load, check, L and R.
    TUndoHistory History;

    // Controls, owned by the window through Qt's parent chain.
    TLabel* lbl;
    TScrollBox* sbBefore;
    TImage* imgBefore;
    TScrollBox* sbAfter;
    TImage* imgAfter;
    QPushButton* btnL;
    QGroupBox* gb;
    TLabel* Label1;
    TLabel* Label2;
    TLabel* Label3;
    QSlider* tb;
    QSlider* tbWidth;
    TPanel* pnWidth;
    TPanel* pntb;
    QPushButton* btnCheck;
    QSlider* tbHose;
    TLabel* lblHose;
    QPushButton* btnR;
    QPushButton* btnLoad;
    QPushButton* btnSave;
    TScrollBox* SB1;
    TImage* imgColor;
    TRadioGroup* rgZoom;
    TFileDialog od;
    TFileDialog sd;

    // The panes' menu (a right click on either pane); its items work by their keys too.
    QMenu* PaneMenu;
    QAction* actMask;       // M: the pixels the current settings change, marked on the before pane
    QAction* actPreview;    // P: the after pane follows the settings
    QAction* actChecker;    // transparency over a checkerboard (on)
    QAction* actFit;        // F: the picture fitted to the pane instead of the chosen zoom
    QAction* actClearSelection; // Esc: no rectangle selected any more
    // The hue window's options, off by default, made from their table (recolour/HueOptions.h):
    // a flag's item, a number's group of choices (each action carries its value).
    std::vector<std::pair<const THueOptionDef*, QAction*>> HueActions;
    std::vector<std::pair<const THueOptionDef*, QActionGroup*>> HueGroups;
    QAction* actWrap;       // the items of wrap, shift, visible-only and keep-lightness
    QAction* actShift;
    QAction* actVisibleOnly;
    QAction* actKeepLightness;
    QActionGroup* agSoft;   // soft edge in degrees: its actions carry 0, 10, 20, 30, 45

    // An animation (GIF, APNG): the frame control under the panes, shown only while the before
    // picture is one of two frames or more. Both panes show the chosen frame as a viewer shows it (the after pane the
    // after picture's frame); the check, L, R, undo and redo change every frame, the mask marks
    // what the settings change in the chosen frame, and a click on the before pane picks from
    // the frame shown. While it shows, the panes leave it their lowest FrameBarRoom pixels;
    // nothing else moves.
    TFrameBar* FrameBar;
    static constexpr int FrameBarRoom = 28;
    // The frame the panes show (0 for a still picture), and another chosen as the control does.
    size_t ShownFrame() const;
    void ShowFrame(size_t index);
    // The save dialog's filters for an animation (1-based, as FilterIndex counts): a .png name
    // keeps the frames only under the animated-PNG filter; a .gif or .apng name always does.
    static constexpr int SaveFilterGif = 3;
    static constexpr int SaveFilterApng = 4;

    // Loads, checks and saves of pictures of more pixels than this run off the interface thread,
    // with a busy cursor and the progress bar showing; input that would change the pictures
    // waits meanwhile.
    int64_t BusyPixels = int64_t{1} << 20;
    QProgressBar* pbBusy;
    bool Busy() const { return busy_; }
    // Pictures of more pixels than this get their mask and preview off the interface thread.
    int64_t LiveSyncPixels = int64_t{1} << 20;
    // Runs of the mask and preview made off the interface thread, and the settings the engine
    // was last given by the check, the mask or the preview (for tests).
    int AsyncLiveRuns = 0;
    THueWindow LastWindow;
    std::optional<TRegionRect> LastSelection;
    // The settings of the sliders and the pane menu's options, as the check uses them.
    THueWindow CurrentWindow() const;
    // The rectangle of before pixels selected by a Shift+drag on the before pane (none: the whole
    // picture): the check, the mask and the preview apply inside it only. Shown as a frame on
    // both panes; Esc or the pane menu clears it, a load too; undo and redo bring it back with
    // the pictures.
    const std::optional<TRegionRect>& Selection() const { return selection_; }
    void SetSelection(const std::optional<TRegionRect>& selection);
    // Where the check applies: the selection, when it fits the before picture.
    TChangeRegion CurrentRegion() const;
    // Brings the mask and the preview up to date with the settings (the preview only with
    // preview, and only while the check itself could run).
    void UpdateLive(bool preview = true);
    // True while a mask or preview run is working off the interface thread.
    bool LiveBusy() const { return liveJob_.Running(); }

    // The memory a loaded picture may take (0: three quarters of what the process may still use).
    int64_t MemoryBudget = 0;

    const std::string& ExeDir() const { return exeDir_; }
    // The window's design size: every control stands at its design place at this size,
    // which is also the smallest the window takes.
    static constexpr int DesignWidth = 562;
    static constexpr int DesignHeight = 454;
    // Shows the window at the size it had when last closed (maximised if it was), else at its
    // design size, centred on the desktop.
    void ShowCentred();
    // Where the window's size is remembered between runs.
    static constexpr const char* SettingsOrganization = "tintabrel";
    static constexpr const char* SettingsApplication = "Tintabrel";

    // Handlers; each runs under the default failure handling when an event calls it.
    void FormCreate();
    void FormClose();
    void btnLoadClick();
    // Loads a file dropped on the window or given on the command line as the load button loads
    // the dialog's choice.
    void OpenFile(const std::string& path);
    // The file named on the command line (the program's name first, as QCoreApplication gives
    // them; a file: URL is taken as its path), made absolute; empty when none.
    static std::string FileArgument(const QStringList& arguments);
    // Loads the command line's file once the event loop runs ("open with").
    void OpenArguments(const QStringList& arguments);
    void btnSaveClick();
    void tbChange();
    void tbWidthChange();
    void tbChangeColor(QSlider* sender);
    void tbHoseChange();
    void btnLClick();
    void btnRClick();
    void rgZoomClick();
    void imgBeforeMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void imgBeforeMouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, int x, int y);
    void imgBeforeMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void imgColorDblClick();
    void lblClick();
    void sbBeforeConstrainedResize();
    void sbAfterConstrainedResize();
    void ShowList();
    // Reads ColorList.dat again when its bytes differ from those read last, and redraws the grid
    // (the list editor saved it); the watcher calls it shortly after the file or its folder changed.
    void ReloadList();
    // The ordinary hue (0 red, 120 green) the source slider's position stands for, and the
    // tooltip a hue slider shows while dragged: the colour and the hue in degrees.
    static int SourceHue(int position);
    static QString HueTip(int hue);
    // One zoom step in or out (+, -, Ctrl+wheel), within x1 to x5.
    void ZoomStep(int step);
    // The chosen zoom item (0 for x1); while the picture is fitted to the pane no item shows as
    // selected, and this is the one a zoom step starts from.
    int ZoomIndex() const;
    // True while the after picture is not the one last loaded or saved (the title's "*"): closing
    // then asks whether to save it.
    bool Unsaved() const;
    // The hue readouts beside the source and target sliders.
    void ShowHueReadouts();
    // Ctrl+Z; Ctrl+Y and Ctrl+Shift+Z.
    void Undo();
    void Redo();
    // The path of a drag's data when it is one PNG or BMP file (any letter case), else empty.
    static std::string DroppablePicture(const QMimeData* data);

    // The credit text set at start-up (lines separated by CR).
    static std::string CreditText();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void ConnectHandlers();
    int ZoomFactor() const;
    // The before picture's pixel under a point of its image control, at the zoom or fit shown.
    QPoint BeforePixel(int x, int y) const;
    // A Shift+drag that has reached pixel on the before pane.
    void DragSelection(const QPoint& pixel);
    void ResetPanes();
    void ShowPictures();
    void PlaceCredit();
    // Places the controls for the window's size: the design layout at the design size;
    // beyond it the panes take the new room and the other controls keep their places relative
    // to them.
    void LayOut();
    void PlaceToleranceLabel();
    void SetZoomIndex(int index);
    void FitToggled(bool on);
    // Asked when the window is about to close: false keeps it open.
    bool MayClose();
    void RememberSize() const;
    void LoadChosenFile();
    TUndoStep BeginStep();
    std::unique_ptr<TWindowState> CaptureState() const;
    void RestoreState(const TWindowState& state);

    void WatchList();
    void UpdateTitle();
    // Runs work (which must not touch the window) off the interface thread when the picture has
    // more than BusyPixels pixels, keeping the window painted; its failure is raised here.
    void RunBusy(int64_t pixels, const std::function<void()>& work);
    void CreateShortcuts();
    void CreatePaneMenu();
    void ShowAfter();
    // The picture on its pane: a still one as it is, an animation's chosen frame composed.
    void ShowPane(TImage* pane, const TPictureData& picture);
    void CreateFrameBar();
    // The frame control shown for an animation (its frames counted) and hidden otherwise; the
    // layout follows when that changes.
    void UpdateFrameBar();
    // For a save of an animation: the save dialog offers its own format (set here, with the
    // suggested name's extension); what is written (the animation, or the shown frame as a
    // still picture with the note that says so).
    void OfferAnimationSave();
    bool KeepsAnimation(TPictureKind kind, const std::string& extension, int filterIndex) const;
    TPictureData ShownStill(const TPictureData& picture) const;
    std::string StillFrameNote(TPictureKind kind) const;
    void PicturesChanged();
    void LiveDone(const std::shared_ptr<TLiveResult>& result, std::exception_ptr error, uint64_t generation,
                  bool preview, bool mask);
    void ApplyLive(const TLiveResult& result, uint64_t generation, bool preview, bool mask);

    std::string exeDir_;
    QFileSystemWatcher* listWatcher_ = nullptr;
    QTimer* listReload_ = nullptr;
    std::string listBytes_; // ColorList.dat as last read
    bool busy_ = false;
    TBackgroundWork liveJob_;
    bool livePending_ = false;
    uint64_t pictureGeneration_ = 0; // counts changes of the before picture
    TBitmap cleanAfter_; // the after picture as last loaded or saved (sharing its store)
    std::optional<TRegionRect> selection_;
    // A Shift+press on the before pane, while its button is held: the pixel pressed, whether the
    // pointer has left it (a drag), and the source slider's position before the press picked.
    std::optional<std::pair<int, int>> dragFrom_;
    bool dragged_ = false;
    int sourceBeforeDrag_ = 0;
    int fitZoom_ = 0;    // the zoom item chosen before the picture was fitted to the pane
    bool created_ = false; // the controls exist (events may come while they are made)
};

} // namespace tintabrel
