// The main window: the before and after panes, the three sliders with their previews, the
// protected colour grid, loading, checking and saving.
#pragma once

#include <memory>
#include <string>

#include <QWidget>

#include "app/PictureFiles.h"
#include "app/window/Dialogs.h"
#include "app/window/History.h"
#include "base/StringList.h"

class QFileSystemWatcher;
class QGroupBox;
class QTimer;
class QMimeData;
class QPushButton;
class QSlider;

namespace tintabrel {

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

    // The memory a loaded picture may take (0: three quarters of what the process may still use).
    int64_t MemoryBudget = 0;

    const std::string& ExeDir() const { return exeDir_; }
    // Centres the window on the desktop and shows it.
    void ShowCentred();

    // Handlers; each runs under the default failure handling when an event calls it.
    void FormCreate();
    void FormClose();
    void btnLoadClick();
    // Loads a file dropped on the window as the load button loads the dialog's choice.
    void FileDropped(const std::string& path);
    void btnSaveClick();
    void tbChange();
    void tbWidthChange();
    void tbChangeColor(QSlider* sender);
    void tbHoseChange();
    void btnLClick();
    void btnRClick();
    void rgZoomClick();
    void imgBeforeMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void imgColorDblClick();
    void lblClick();
    void sbBeforeConstrainedResize();
    void sbAfterConstrainedResize();
    void ShowList();
    // Reads ColorList.dat again when its bytes differ from those read last, and redraws the grid
    // (the list editor saved it); the watcher calls it shortly after the file or its folder changed.
    void ReloadList();
    // Ctrl+Z; Ctrl+Y and Ctrl+Shift+Z.
    void Undo();
    void Redo();
    // The path of a drag's data when it is one PNG or BMP file (any letter case), else empty.
    static std::string DroppablePicture(const QMimeData* data);

    // The credit text set at start-up (lines separated by CR).
    static std::string CreditText();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void CreateControls();
    void ConnectHandlers();
    int ZoomFactor() const;
    void ResetPanes();
    void ShowPictures();
    void PlaceCredit();
    void LoadChosenFile();
    TUndoStep BeginStep();
    std::unique_ptr<TWindowState> CaptureState() const;
    void RestoreState(const TWindowState& state);

    void WatchList();

    std::string exeDir_;
    QFileSystemWatcher* listWatcher_ = nullptr;
    QTimer* listReload_ = nullptr;
    std::string listBytes_; // ColorList.dat as last read
};

} // namespace tintabrel
