#include "app/swatchwright/Swatchwright.h"

#include "app/desktop/DataFiles.h"

#include <filesystem>
#include <system_error>

#include <QCloseEvent>
#include <QColorDialog>
#include <QCoreApplication>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

#include "app/desktop/Desktop.h"
#include "base/Exceptions.h"
#include "base/StringList.h"

namespace tintabrel {

namespace {

std::unique_ptr<TEditorDialogs>& CurrentDialogs()
{
    static std::unique_ptr<TEditorDialogs> dialogs = std::make_unique<TEditorDialogs>();
    return dialogs;
}

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Runs a handler; a failure is shown in the editor's error box.
template <class F>
void Guarded(QWidget* parent, F&& handler)
{
    GuardedCall([parent](const std::string& text) { EditorDialogs().ShowError(parent, text); },
                std::forward<F>(handler));
}

// The swatch of a line, or nothing when the line is no colour string.
std::optional<QColor> SwatchColor(const std::string& line)
{
    if (line.empty()) return std::nullopt;
    try {
        const TColor plain = ResolveColor(TextToColor(line));
        return QColor(RedOf(plain), GreenOf(plain), BlueOf(plain));
    } catch (const EConvertError&) {
        return std::nullopt;
    }
}

QIcon SwatchIcon(const QColor& color)
{
    QPixmap pixmap(25, 25);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(QColor(128, 128, 128));
    painter.setBrush(color);
    painter.drawRect(1, 1, 22, 22);
    return QIcon(pixmap);
}

} // namespace

void InitEditorApplication()
{
    QCoreApplication::setApplicationName(QString::fromLatin1(EditorTitle));
    InstallQtTranslations();
}

std::optional<TColor> TEditorDialogs::PickColor(QWidget* parent, TColor initial)
{
    const TColor plain = ResolveColor(initial);
    const QColor chosen = QColorDialog::getColor(QColor(RedOf(plain), GreenOf(plain), BlueOf(plain)), parent,
                                                 QStringLiteral("色の選択"), QColorDialog::DontUseNativeDialog);
    if (!chosen.isValid()) return std::nullopt;
    return MakeColor(static_cast<uint8_t>(chosen.red()), static_cast<uint8_t>(chosen.green()),
                     static_cast<uint8_t>(chosen.blue()));
}

void TEditorDialogs::ShowError(QWidget* parent, const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, QString::fromLatin1(EditorTitle), Q(text), QMessageBox::Ok, parent);
    box.exec();
}

TEditorDialogs::TAnswer TEditorDialogs::AskSaveChanges(QWidget* parent)
{
    const int answer = AskToSaveChanges(parent, QString::fromLatin1(EditorTitle), QStringLiteral("変更された一覧を保存しますか？"));
    return answer == 0 ? TAnswer::Save : answer == 1 ? TAnswer::Discard : TAnswer::Cancel;
}

TEditorDialogs& EditorDialogs() { return *CurrentDialogs(); }

std::unique_ptr<TEditorDialogs> SetEditorDialogs(std::unique_ptr<TEditorDialogs> dialogs)
{
    if (!dialogs) dialogs = std::make_unique<TEditorDialogs>();
    std::swap(CurrentDialogs(), dialogs);
    return dialogs;
}

std::string ListFileText(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// ---------------------------------------------------------------- the window

TfrmSwatchwright::TfrmSwatchwright(std::string exeDir, QWidget* parent)
    : QWidget(parent),
      exeDir_(exeDir.empty() ? DataFolder(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() + "/")
                             : std::move(exeDir))
{
    setWindowTitle(QString::fromLatin1(EditorTitle));
    resize(420, 360);

    lstColors = new QListWidget(this);
    lstColors->setIconSize(QSize(25, 25));
    lstColors->setSelectionMode(QAbstractItemView::SingleSelection);
    edtColor = new QLineEdit(this);
    edtColor->setPlaceholderText(QStringLiteral("clRed, $00030201 …"));
    btnPick = new QPushButton(QStringLiteral("色を選んで追加(&A)…"), this);
    btnAddText = new QPushButton(QStringLiteral("文字列で追加(&T)"), this);
    btnDelete = new QPushButton(QStringLiteral("削除(&D)"), this);
    btnUp = new QPushButton(QStringLiteral("上へ(&U)"), this);
    btnDown = new QPushButton(QStringLiteral("下へ(&N)"), this);
    btnSave = new QPushButton(QStringLiteral("保存(&S)"), this);
    lblStatus = new QLabel(this);
    lblStatus->setWordWrap(true);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(btnPick);
    buttons->addSpacing(8);
    buttons->addWidget(edtColor);
    buttons->addWidget(btnAddText);
    buttons->addSpacing(8);
    buttons->addWidget(btnDelete);
    buttons->addWidget(btnUp);
    buttons->addWidget(btnDown);
    buttons->addStretch(1);
    buttons->addWidget(btnSave);
    auto* top = new QHBoxLayout;
    top->addWidget(lstColors, 1);
    top->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(lblStatus);

    connect(btnPick, &QPushButton::clicked, this, [this] { Guarded(this, [this] { btnPickClick(); }); });
    connect(btnAddText, &QPushButton::clicked, this, [this] { Guarded(this, [this] { btnAddTextClick(); }); });
    connect(edtColor, &QLineEdit::returnPressed, this, [this] { Guarded(this, [this] { btnAddTextClick(); }); });
    connect(btnDelete, &QPushButton::clicked, this, [this] { Guarded(this, [this] { btnDeleteClick(); }); });
    connect(btnUp, &QPushButton::clicked, this, [this] { Guarded(this, [this] { btnUpClick(); }); });
    connect(btnDown, &QPushButton::clicked, this, [this] { Guarded(this, [this] { btnDownClick(); }); });
    connect(btnSave, &QPushButton::clicked, this, [this] { Guarded(this, [this] { SaveList(); }); });
    connect(lstColors, &QListWidget::currentRowChanged, this, [this] { UpdateButtons(); });

    Guarded(this, [this] { LoadList(); });
    UpdateButtons();
}

int TfrmSwatchwright::Current() const { return lstColors->currentRow(); }

void TfrmSwatchwright::SetCurrent(int index) { lstColors->setCurrentRow(index); }

void TfrmSwatchwright::LoadList()
{
    const std::string path = ListPath();
    std::error_code ec;
    lines_.clear();
    readable_ = true;
    if (!std::filesystem::exists(path, ec)) {
        // No list yet: saving creates it.
        lblStatus->setText(Q(path) + QStringLiteral(" はまだありません。保存すると作成します。"));
        Refill(-1);
        SetModified(false);
        return;
    }
    TStringList list;
    try {
        list.LoadFromFile(path);
    } catch (...) {
        readable_ = false;
        Refill(-1);
        UpdateButtons();
        throw;
    }
    lines_ = list.Lines();
    lblStatus->setText(Q(path));
    Refill(lines_.empty() ? -1 : 0);
    SetModified(false);
}

void TfrmSwatchwright::btnPickClick()
{
    TColor initial = clWhite;
    if (const int i = Current(); i >= 0) {
        try {
            initial = TextToColor(lines_[static_cast<size_t>(i)]);
        } catch (const EConvertError&) {
        }
    }
    if (const std::optional<TColor> color = EditorDialogs().PickColor(this, initial)) AddLine(ColorToText(*color));
}

void TfrmSwatchwright::btnAddTextClick()
{
    const std::string typed = Trimmed(edtColor->text().toUtf8().toStdString());
    if (typed.empty()) return;
    // Pixels are matched by their colour string, so the entry is stored in that form: "$000000FF"
    // becomes "clRed", which is what a red pixel's colour string is.
    const TColor color = TextToColor(typed);
    AddLine(ColorToText(color));
    edtColor->clear();
}

void TfrmSwatchwright::btnDeleteClick()
{
    const int i = Current();
    if (i < 0 || i >= static_cast<int>(lines_.size())) return;
    lines_.erase(lines_.begin() + i);
    Refill(std::min(i, static_cast<int>(lines_.size()) - 1));
    SetModified(true);
}

void TfrmSwatchwright::btnUpClick()
{
    const int i = Current();
    if (i <= 0 || i >= static_cast<int>(lines_.size())) return;
    std::swap(lines_[static_cast<size_t>(i)], lines_[static_cast<size_t>(i - 1)]);
    Refill(i - 1);
    SetModified(true);
}

void TfrmSwatchwright::btnDownClick()
{
    const int i = Current();
    if (i < 0 || i + 1 >= static_cast<int>(lines_.size())) return;
    std::swap(lines_[static_cast<size_t>(i)], lines_[static_cast<size_t>(i + 1)]);
    Refill(i + 1);
    SetModified(true);
}

bool TfrmSwatchwright::SaveList()
{
    const std::string path = ListPath();
    if (!readable_) throw EFCreateError(msg::FileCreate(path));
    QSaveFile file(QFile::decodeName(path.c_str()));
    if (!file.open(QIODevice::WriteOnly)) throw EFCreateError(msg::FileCreate(path));
    const std::string text = ListFileText(lines_);
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit())
        throw EWriteError(msg::WriteError);
    SetModified(false);
    return true;
}

void TfrmSwatchwright::closeEvent(QCloseEvent* event)
{
    if (!modified_) {
        event->accept();
        return;
    }
    switch (EditorDialogs().AskSaveChanges(this)) {
    case TEditorDialogs::TAnswer::Save: {
        bool saved = false;
        Guarded(this, [&] { saved = SaveList(); });
        if (saved)
            event->accept();
        else
            event->ignore();
        break;
    }
    case TEditorDialogs::TAnswer::Discard: event->accept(); break;
    case TEditorDialogs::TAnswer::Cancel: event->ignore(); break;
    }
}

void TfrmSwatchwright::AddLine(const std::string& line)
{
    lines_.push_back(line);
    Refill(static_cast<int>(lines_.size()) - 1);
    SetModified(true);
}

void TfrmSwatchwright::Refill(int current)
{
    lstColors->clear();
    for (const std::string& line : lines_) {
        auto* item = new QListWidgetItem(lstColors);
        if (const std::optional<QColor> color = SwatchColor(line)) {
            item->setIcon(SwatchIcon(*color));
            item->setText(Q(line));
        } else if (line.empty()) {
            item->setText(QStringLiteral("（空行）"));
        } else {
            item->setText(Q(line) + QStringLiteral("  （色ではありません）"));
        }
    }
    lstColors->setCurrentRow(current);
    UpdateButtons();
}

void TfrmSwatchwright::SetModified(bool value)
{
    modified_ = value;
    setWindowTitle(QString::fromLatin1(EditorTitle) + (modified_ ? QStringLiteral(" *") : QString()));
    UpdateButtons();
}

void TfrmSwatchwright::UpdateButtons()
{
    const int i = Current();
    const int n = static_cast<int>(lines_.size());
    btnDelete->setEnabled(i >= 0 && i < n);
    btnUp->setEnabled(i > 0 && i < n);
    btnDown->setEnabled(i >= 0 && i + 1 < n);
    btnSave->setEnabled(readable_);
    btnPick->setEnabled(readable_);
    btnAddText->setEnabled(readable_);
}

} // namespace tintabrel
