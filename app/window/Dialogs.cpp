#include "app/window/Dialogs.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLocale>
#include <QSplitter>
#include <QTreeView>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStringList>

#include <algorithm>
#include <vector>

#include "app/window/Application.h"

namespace tintabrel {

namespace {

std::unique_ptr<TDialogs>& Current()
{
    static std::unique_ptr<TDialogs> dialogs = std::make_unique<TDialogs>();
    return dialogs;
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

QStringList QtFilters(const std::string& filter)
{
    return ToQString(QtFilterOf(filter)).split(QStringLiteral(";;"), Qt::SkipEmptyParts);
}

// The file list as Qt's dialog shows it, with sizes and dates in Japanese: Qt's own model writes
// them in the system's language, whatever the program's.
class TJapaneseFileList : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == Qt::DisplayRole && (index.column() == 1 || index.column() == 3)) {
            if (const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel())) {
                const QFileInfo info = files->fileInfo(mapToSource(index));
                const QLocale japanese(QLocale::Japanese, QLocale::Japan);
                if (index.column() == 3) return japanese.toString(info.lastModified(), QLocale::ShortFormat);
                if (!info.isDir()) return japanese.formattedDataSize(info.size());
            }
        }
        return QIdentityProxyModel::data(index, role);
    }
};

// Widths of the name, size, type and date columns, and the dialog's size that shows them whole
// beside the side bar.
constexpr int ColumnWidths[4] = {300, 90, 170, 140};
constexpr int SideBarWidth = 150;
constexpr int DialogWidth = 920;
constexpr int DialogHeight = 520;

// The dialog names a filter by the text it shows, which is the description alone, or by Qt's
// full text; otherwise the index stays.
int FilterIndexOf(const std::string& filter, const QString& selected, int otherwise)
{
    const std::vector<std::string> parts = Split(filter, '|');
    for (size_t i = 0; i + 1 < parts.size(); i += 2)
        if (selected == ToQString(parts[i]) || selected == ToQString(QtFilterOf(parts[i] + "|" + parts[i + 1])))
            return static_cast<int>(i / 2) + 1;
    return otherwise;
}

bool RunFileDialog(QWidget* parent, TFileDialog& dialog, bool save)
{
    QFileDialog box(parent);
    SetupFileDialog(box, dialog, save);
    if (box.exec() != QDialog::Accepted) return false;
    return TakeFileDialogResult(box, dialog);
}

QMessageBox::Icon QtIcon(TMsgIcon icon)
{
    switch (icon) {
    case TMsgIcon::Information: return QMessageBox::Information;
    case TMsgIcon::Warning: return QMessageBox::Warning;
    case TMsgIcon::Error: return QMessageBox::Critical;
    case TMsgIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

void SetupFileDialog(QFileDialog& box, const TFileDialog& dialog, bool save)
{
    box.setWindowTitle(ToQString(dialog.Title));
    // Qt's own dialog, whose texts come from the Japanese translations the program installs; a
    // desktop's native dialog would speak the desktop's language.
    box.setOption(QFileDialog::DontUseNativeDialog, true);
    box.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    // Neither dialog insists that the typed file exists or asks before replacing one.
    box.setFileMode(QFileDialog::AnyFile);
    box.setOption(QFileDialog::DontConfirmOverwrite, true);
    box.setOption(QFileDialog::ReadOnly, false);
    // The descriptions name their patterns already; Qt would show them a second time.
    box.setOption(QFileDialog::HideNameFilterDetails, true);
    box.setSizeGripEnabled(true);
    box.setLocale(QLocale(QLocale::Japanese, QLocale::Japan));
    box.setProxyModel(new TJapaneseFileList(&box));
    box.resize(std::max(box.width(), DialogWidth), std::max(box.height(), DialogHeight));
    if (auto* list = box.findChild<QTreeView*>(QStringLiteral("treeView")))
        for (int column = 0; column < 4; ++column) list->header()->resizeSection(column, ColumnWidths[column]);
    // The side bar wide enough for the names of its places.
    if (auto* splitter = box.findChild<QSplitter*>(QStringLiteral("splitter")))
        splitter->setSizes({SideBarWidth, box.width() - SideBarWidth});
    const QStringList filters = QtFilters(dialog.Filter);
    box.setNameFilters(filters);
    if (dialog.FilterIndex >= 1 && dialog.FilterIndex <= filters.size())
        box.selectNameFilter(filters[dialog.FilterIndex - 1]);
    if (save) {
        // The suffix added to a name typed without one follows the chosen filter.
        box.setDefaultSuffix(ToQString(FilterExtension(dialog)));
        const TFileDialog settings = dialog;
        QObject::connect(&box, &QFileDialog::filterSelected, &box, [&box, settings](const QString& filter) {
            TFileDialog chosen = settings;
            chosen.FilterIndex = FilterIndexOf(settings.Filter, filter, settings.FilterIndex);
            box.setDefaultSuffix(ToQString(FilterExtension(chosen)));
        });
    } else if (!dialog.DefaultExt.empty()) {
        box.setDefaultSuffix(ToQString(dialog.DefaultExt));
    }
    if (!dialog.FileName.empty()) box.selectFile(ToQString(dialog.FileName));
}

bool TakeFileDialogResult(const QFileDialog& box, TFileDialog& dialog)
{
    const QStringList chosen = box.selectedFiles();
    if (chosen.isEmpty()) return false;
    dialog.FileName = PathFromQString(chosen.first());
    dialog.FilterIndex = FilterIndexOf(dialog.Filter, box.selectedNameFilter(), dialog.FilterIndex);
    return true;
}

bool TDialogs::ExecuteOpen(QWidget* parent, TFileDialog& dialog) { return RunFileDialog(parent, dialog, false); }

bool TDialogs::ExecuteSave(QWidget* parent, TFileDialog& dialog) { return RunFileDialog(parent, dialog, true); }

void TDialogs::MessageBox(QWidget* parent, const std::string& text, const std::string& caption, TMsgIcon icon)
{
    QMessageBox box(QtIcon(icon), ToQString(caption), ToQString(text), QMessageBox::Ok, parent);
    box.exec();
}

bool TDialogs::Confirm(QWidget* parent, const std::string& text, const std::string& caption)
{
    QMessageBox box(QMessageBox::Question, ToQString(caption), ToQString(text), QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

TSaveAnswer TDialogs::AskSaveChanges(QWidget* parent, const std::string& text, const std::string& caption)
{
    // The same three answers, in the same words, as the list editor asks before it closes.
    QMessageBox box(QMessageBox::Question, ToQString(caption), ToQString(text), QMessageBox::NoButton, parent);
    QPushButton* save = box.addButton(QStringLiteral("保存する(&S)"), QMessageBox::AcceptRole);
    QPushButton* discard = box.addButton(QStringLiteral("保存しない(&N)"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == save) return TSaveAnswer::Save;
    if (box.clickedButton() == discard) return TSaveAnswer::Discard;
    return TSaveAnswer::Cancel;
}

bool TDialogs::StartProgram(const std::string& path)
{
    return QProcess::startDetached(ToQString(path), {});
}

TDialogs& Dialogs() { return *Current(); }

std::unique_ptr<TDialogs> SetDialogs(std::unique_ptr<TDialogs> dialogs)
{
    if (!dialogs) dialogs = std::make_unique<TDialogs>();
    std::swap(Current(), dialogs);
    return dialogs;
}

std::string FilterExtension(const TFileDialog& dialog)
{
    const std::vector<std::string> parts = Split(dialog.Filter, '|');
    const size_t at = static_cast<size_t>(dialog.FilterIndex - 1) * 2 + 1;
    if (dialog.FilterIndex >= 1 && at < parts.size()) {
        const std::string first = Split(parts[at], ';').front();
        if (first.size() > 2 && first.compare(0, 2, "*.") == 0 && first.find_first_of("*?", 2) == std::string::npos)
            return first.substr(2);
    }
    return dialog.DefaultExt;
}

std::string QtFilterOf(const std::string& filter)
{
    const std::vector<std::string> parts = Split(filter, '|');
    std::string result;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string patterns = parts[i + 1];
        for (char& c : patterns)
            if (c == ';') c = ' ';
        if (!result.empty()) result += ";;";
        result += parts[i] + " (" + patterns + ")";
    }
    return result;
}

void ShowMessage(QWidget* parent, const std::string& text)
{
    Dialogs().MessageBox(parent, text, ApplicationTitle, TMsgIcon::None);
}

QString ToQString(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string FromQString(const QString& text) { return text.toUtf8().toStdString(); }

std::string PathFromQString(const QString& path) { return QFile::encodeName(path).toStdString(); }

} // namespace tintabrel
