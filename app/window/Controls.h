// The small controls of the window that Qt has no exact match for: a label with a caption that
// breaks at CR and a click event, a coloured panel, a radio group with an item index, and a
// scroll box that reports when its size is being set.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QScrollArea>

#include "base/Colors.h"

class QButtonGroup;
class QRadioButton;
class QSlider;

namespace tintabrel {

class TLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLabel(QWidget* parent = nullptr);

    // The caption as the program sets it; a CR (or CR LF) breaks the line on screen.
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);

    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    std::string caption_;
    bool autoSize_ = false;
};

// A panel showing one colour, framed by a single line, with an optional short text centred on
// it in black or white, whichever stands out from the colour.
class TPanel : public QFrame {
    Q_OBJECT
public:
    explicit TPanel(QWidget* parent = nullptr);
    TColor Color() const { return color_; }
    void SetColor(TColor color);
    // The colour as painted (system colours resolved).
    QColor ShownColor() const;
    const QString& Text() const { return text_; }
    void SetText(const QString& text);
    // The colour the text is drawn in.
    QColor TextColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TColor color_ = clBtnFace;
    QString text_;
};

class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit TRadioGroup(QWidget* parent = nullptr);
    void SetItems(const std::vector<std::string>& items);
    int Count() const { return static_cast<int>(buttons_.size()); }
    QRadioButton* Button(int index) const { return buttons_.at(static_cast<size_t>(index)); }
    // The selected item, -1 for none. Setting it does not raise OnClick.
    int ItemIndex() const;
    void SetItemIndex(int index);

    // Raised when the user selects an item.
    std::function<void()> OnClick;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void PlaceButtons();
    QButtonGroup* group_;
    std::vector<QRadioButton*> buttons_;
};

class TScrollBox : public QScrollArea {
    Q_OBJECT
public:
    explicit TScrollBox(QWidget* parent = nullptr);
    // Raised while the box's size is being set, not when its content scrolls.
    std::function<void()> OnConstrainedResize;
    // Content follows the scroll thumbs continuously while they are dragged.
    void SetSmoothScrolling(bool value);
    bool SmoothScrolling() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
};

// Makes a click on the slider's track step a page towards the click, whatever the desktop's
// style does (some jump straight to the click); the middle button still jumps.
void StepOnTrackClick(QSlider* slider);

// The plain colour of a colour value as Qt draws it.
QColor QColorOf(TColor color);

} // namespace tintabrel
