#include "app/window/FrameBar.h"

#include <algorithm>

#include <QPushButton>
#include <QSlider>

#include "app/window/Controls.h"

namespace tintabrel {

namespace {

constexpr int ButtonWidth = 24;
constexpr int Gap = 4;

} // namespace

TFrameBar::TFrameBar(QWidget* parent) : QWidget(parent)
{
    lblCaption = new TLabel(this);
    lblCaption->SetCaption("コマ");
    lblCaption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    btnPrev = new QPushButton(QStringLiteral("<"), this);
    btnPrev->setToolTip(QString::fromUtf8("前のコマを表示します。最初のコマでは最後のコマに戻ります。\n(, キー)"));
    btnNext = new QPushButton(QStringLiteral(">"), this);
    btnNext->setToolTip(QString::fromUtf8("次のコマを表示します。最後のコマでは最初のコマに戻ります。\n(. キー)"));

    tbFrame = new QSlider(Qt::Horizontal, this);
    tbFrame->setRange(0, 0);
    tbFrame->setSingleStep(1);
    tbFrame->setPageStep(1);
    tbFrame->setToolTip(QString::fromUtf8("左右の絵に表示するコマを選びます。ﾁｪｯｸ・«・»・元に戻す・印・その場の表示は"
                                          "すべてのコマに働きます。"));
    StepOnTrackClick(tbFrame);

    lblFrame = new TLabel(this);
    lblFrame->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblFrame->setToolTip(QString::fromUtf8("表示しているコマの番号とコマの数です。"));
    lblDelay = new TLabel(this);
    lblDelay->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblDelay->setToolTip(QString::fromUtf8("このコマを表示する時間です。"));

    connect(tbFrame, &QSlider::valueChanged, this, [this](int value) {
        ShowNumber();
        if (!quiet_ && OnChange) OnChange(value);
    });
    connect(btnPrev, &QPushButton::clicked, this, [this] { Step(-1); });
    connect(btnNext, &QPushButton::clicked, this, [this] { Step(1); });
    ShowNumber();
    SetDelay(0, 100);
}

int TFrameBar::Index() const { return tbFrame->value(); }

void TFrameBar::SetCount(int count)
{
    count_ = std::max(1, count);
    quiet_ = true;
    tbFrame->setRange(0, count_ - 1); // a frame beyond the new last one becomes the last
    tbFrame->setTickPosition(count_ <= 64 ? QSlider::TicksBelow : QSlider::NoTicks);
    tbFrame->setTickInterval(1);
    quiet_ = false;
    ShowNumber();
    PlaceControls();
}

void TFrameBar::SetIndex(int index)
{
    quiet_ = true;
    tbFrame->setValue(std::clamp(index, 0, count_ - 1));
    quiet_ = false;
    ShowNumber();
}

void TFrameBar::Step(int by)
{
    // Round and round, as the animation plays.
    const int next = ((Index() + by) % count_ + count_) % count_;
    tbFrame->setValue(next);
}

void TFrameBar::SetDelay(int num, int den)
{
    const double seconds = double(num) / (den == 0 ? 100.0 : double(den));
    lblDelay->SetCaption(QString::number(seconds, 'f', 2).toStdString() + "秒");
}

void TFrameBar::ShowNumber()
{
    lblFrame->SetCaption(std::to_string(Index() + 1) + " / " + std::to_string(count_));
}

void TFrameBar::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    PlaceControls();
}

// Caption, back button, slider, on button, the number and the delay from left to right; the
// slider takes what the texts leave.
void TFrameBar::PlaceControls()
{
    const int h = height();
    const QFontMetrics metrics = fontMetrics();
    const int caption = metrics.horizontalAdvance(lblCaption->text()) + Gap;
    const QString widest = QStringLiteral("%1 / %1").arg(count_);
    const int number = metrics.horizontalAdvance(widest) + Gap;
    const int delay = metrics.horizontalAdvance(QString::fromUtf8("000.00秒")) + Gap;
    int x = 0;
    lblCaption->setGeometry(x, 0, caption, h);
    x += caption;
    btnPrev->setGeometry(x, 0, ButtonWidth, h);
    x += ButtonWidth + Gap;
    const int right = width() - delay - number - Gap - ButtonWidth;
    tbFrame->setGeometry(x, 0, std::max(0, right - Gap - x), h);
    btnNext->setGeometry(right, 0, ButtonWidth, h);
    lblFrame->setGeometry(right + ButtonWidth, 0, number, h);
    lblDelay->setGeometry(right + ButtonWidth + number, 0, delay, h);
}

} // namespace tintabrel
