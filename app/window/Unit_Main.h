// The main window: the before and after panes, the three sliders with their previews, the
// protected colour grid, loading, checking and saving.
#pragma once

#include <memory>
#include <string>

#include <QWidget>

#include "app/window/Dialogs.h"
#include "image/Graphics.h"
#include "base/StringList.h"

class QGroupBox;
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

    // The pictures and the protected list, owned from FormCreate to FormClose.
    std::unique_ptr<TBitmap> bmpBefore;
    std::unique_ptr<TBitmap> bmpAfter;
    std::unique_ptr<TStringList> ColorList;
    // Transparency travels beside each picture as an 8-bit picture of the same size (byte v:
    // alpha 255 - v; empty: opaque), since the pictures themselves hold none.
    TBitmap bmpBeforeAlpha;
    TBitmap bmpAfterAlpha;
    TBitmap imgBeforeAlpha;
    TBitmap imgAfterAlpha;

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

    const std::string& ExeDir() const { return exeDir_; }
    // Centres the window on the desktop and shows it.
    void ShowCentred();

    // Handlers; each runs under the default failure handling when an event calls it.
    void FormCreate();
    void FormClose();
    void btnLoadClick();
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

    // The credit text set at start-up (lines separated by CR).
    static std::string CreditText();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void ConnectHandlers();
    int ZoomFactor() const;
    void ResetPanes();

    std::string exeDir_;
};

} // namespace tintabrel
