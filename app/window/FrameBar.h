// The frame control of an animation: which of its frames the two panes show, chosen with the
// slider, the two step buttons or the window's keys, with the frame's number and how long it shows.
#pragma once

#include <functional>

#include <QWidget>

class QPushButton;
class QSlider;

namespace tintabrel {

class TLabel;

class TFrameBar : public QWidget {
    Q_OBJECT
public:
    explicit TFrameBar(QWidget* parent = nullptr);

    TLabel* lblCaption; // 「コマ」
    QPushButton* btnPrev;
    QSlider* tbFrame;
    QPushButton* btnNext;
    TLabel* lblFrame;   // "k / N", counted from 1
    TLabel* lblDelay;   // the frame's delay in seconds

    int Count() const { return count_; }
    // The chosen frame, from 0.
    int Index() const;
    // The number of frames (at least 1); the chosen frame stays where it is when it still exists,
    // else becomes the last. Raises no OnChange.
    void SetCount(int count);
    // Chooses a frame (kept within 0 .. Count - 1) without raising OnChange.
    void SetIndex(int index);
    // One frame on or back, from the last to the first and back round; raises OnChange.
    void Step(int by);
    // The chosen frame's delay as a fraction of a second (den 0 counts as 100, as in the files).
    void SetDelay(int num, int den);

    // The user chose another frame (slider, buttons, Step).
    std::function<void(int index)> OnChange;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void PlaceControls();
    void ShowNumber();

    int count_ = 1;
    bool quiet_ = false;
};

} // namespace tintabrel
