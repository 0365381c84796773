#include "app/window/Controls.h"

#include <QButtonGroup>
#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QSlider>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionGroupBox>

#include "app/window/Dialogs.h"

namespace tintabrel {

QColor QColorOf(TColor color)
{
    const TColor plain = ResolveColor(color);
    return QColor(RedOf(plain), GreenOf(plain), BlueOf(plain));
}

// ---------------------------------------------------------------- TLabel

TLabel::TLabel(QWidget* parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }

void TLabel::SetCaption(const std::string& caption)
{
    caption_ = caption;
    QString shown = ToQString(caption);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    setText(shown);
    if (autoSize_) adjustSize();
}

void TLabel::SetAutoSize(bool value)
{
    autoSize_ = value;
    if (autoSize_) adjustSize();
}

void TLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick) OnClick();
    QLabel::mouseReleaseEvent(event);
}

void TLabel::changeEvent(QEvent* event)
{
    QLabel::changeEvent(event);
    // Another font: the label takes the size of its text again.
    if (event->type() == QEvent::FontChange && autoSize_) adjustSize();
}

// ---------------------------------------------------------------- TPanel

TPanel::TPanel(QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    setAutoFillBackground(true);
    SetColor(clBtnFace);
}

void TPanel::SetColor(TColor color)
{
    color_ = color;
    QPalette p = palette();
    p.setColor(QPalette::Window, QColorOf(color));
    setPalette(p);
    update();
}

QColor TPanel::ShownColor() const { return palette().color(QPalette::Window); }

void TPanel::SetText(const QString& text)
{
    if (text == text_) return;
    text_ = text;
    update();
}

QColor TPanel::TextColor() const
{
    const QColor c = ShownColor();
    // Perceived brightness: green counts most, blue least.
    return c.red() * 299 + c.green() * 587 + c.blue() * 114 >= 128000 ? QColor(Qt::black) : QColor(Qt::white);
}

void TPanel::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    if (text_.isEmpty()) return;
    QPainter painter(this);
    painter.setPen(TextColor());
    painter.drawText(contentsRect(), Qt::AlignCenter, text_);
}

// ---------------------------------------------------------------- TRadioGroup

TRadioGroup::TRadioGroup(QWidget* parent) : QGroupBox(parent), group_(new QButtonGroup(this))
{
    group_->setExclusive(true);
    connect(group_, &QButtonGroup::idClicked, this, [this](int) {
        if (OnClick) OnClick();
    });
}

void TRadioGroup::SetItems(const std::vector<std::string>& items)
{
    for (QRadioButton* b : buttons_) delete b;
    buttons_.clear();
    int id = 0;
    for (const std::string& item : items) {
        auto* button = new QRadioButton(ToQString(item), this);
        group_->addButton(button, id++);
        buttons_.push_back(button);
    }
    PlaceButtons();
}

int TRadioGroup::ItemIndex() const { return group_->checkedId(); }

void TRadioGroup::SetItemIndex(int index)
{
    if (index >= 0 && index < Count()) {
        buttons_[static_cast<size_t>(index)]->setChecked(true);
    } else if (QAbstractButton* checked = group_->checkedButton()) {
        group_->setExclusive(false);
        checked->setChecked(false);
        group_->setExclusive(true);
    }
}

void TRadioGroup::resizeEvent(QResizeEvent* event)
{
    QGroupBox::resizeEvent(event);
    PlaceButtons();
}

// The items share the inside of the frame evenly, one above the other. The style says where the
// frame and its caption are: some draw the caption above the frame, some on its top line.
void TRadioGroup::PlaceButtons()
{
    if (buttons_.empty()) return;
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    const QRect inside = style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxContents, this);
    const int left = inside.left() + 6;
    const int step = inside.height() / Count();
    const int top = inside.top() + (inside.height() - step * Count()) / 2;
    for (int i = 0; i < Count(); ++i)
        buttons_[static_cast<size_t>(i)]->setGeometry(left, top + i * step, inside.right() - left, step);
}

// ---------------------------------------------------------------- TScrollBox

TScrollBox::TScrollBox(QWidget* parent) : QScrollArea(parent)
{
    setWidgetResizable(false);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    SetSmoothScrolling(false);
}

void TScrollBox::SetSmoothScrolling(bool value)
{
    horizontalScrollBar()->setTracking(value);
    verticalScrollBar()->setTracking(value);
}

bool TScrollBox::SmoothScrolling() const
{
    return horizontalScrollBar()->hasTracking() && verticalScrollBar()->hasTracking();
}

void TScrollBox::resizeEvent(QResizeEvent* event)
{
    QScrollArea::resizeEvent(event);
    if (OnConstrainedResize) OnConstrainedResize();
}

// ---------------------------------------------------------------- track clicks

namespace {

class TTrackStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_Slider_AbsoluteSetButtons) return Qt::MiddleButton;
        if (hint == SH_Slider_PageSetButtons) return Qt::LeftButton;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

void StepOnTrackClick(QSlider* slider)
{
    // The application's style by name, so that the slider looks as every other control does.
    auto* style = new TTrackStyle(QStyleFactory::create(QApplication::style()->name()));
    style->setParent(slider);
    slider->setStyle(style);
}

} // namespace tintabrel
