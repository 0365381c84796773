// The protected colour list editor: shows the lines of ColorList.dat beside its executable as
// swatches, adds, removes and reorders them, and writes the file back in the format the main
// window reads (one colour string per line, CR LF).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "base/Colors.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace tintabrel {

inline constexpr const char* EditorTitle = "Swatchwright";

// Sets the application's name and Qt's Japanese texts (standard buttons, the colour dialog).
void InitEditorApplication();

// Everything that asks or tells the user goes through one replaceable object (tests answer).
class TEditorDialogs {
public:
    enum class TAnswer { Save, Discard, Cancel };
    virtual ~TEditorDialogs() = default;
    // A colour dialog; nothing when cancelled.
    virtual std::optional<TColor> PickColor(QWidget* parent, TColor initial);
    // A modal box with the editor's title, an error icon and one OK button.
    virtual void ShowError(QWidget* parent, const std::string& text);
    // Asked before closing with unsaved changes.
    virtual TAnswer AskSaveChanges(QWidget* parent);
};

TEditorDialogs& EditorDialogs();
// Installs a replacement and returns the previous one; nullptr restores the Qt dialogs.
std::unique_ptr<TEditorDialogs> SetEditorDialogs(std::unique_ptr<TEditorDialogs> dialogs);

// The list as the editor writes it: every line followed by CR LF.
std::string ListFileText(const std::vector<std::string>& lines);

class TfrmSwatchwright : public QWidget {
    Q_OBJECT
public:
    // exeDir: the folder (ending in "/") that holds ColorList.dat; empty: the executable's.
    explicit TfrmSwatchwright(std::string exeDir = std::string(), QWidget* parent = nullptr);

    std::string ListPath() const { return exeDir_ + "ColorList.dat"; }
    const std::vector<std::string>& Lines() const { return lines_; }
    bool Modified() const { return modified_; }
    int Current() const;
    void SetCurrent(int index);

    QListWidget* lstColors;
    QLineEdit* edtColor;
    QPushButton* btnPick;
    QPushButton* btnAddText;
    QPushButton* btnDelete;
    QPushButton* btnUp;
    QPushButton* btnDown;
    QPushButton* btnSave;
    QLabel* lblStatus;

    // Handlers; each runs under the editor's failure handling when a control calls it.
    void LoadList();
    void btnPickClick();
    void btnAddTextClick();
    void btnDeleteClick();
    void btnUpClick();
    void btnDownClick();
    // Writes the file through a temporary file; false (after a message) when that failed.
    bool SaveList();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void AddLine(const std::string& line);
    void Refill(int current);
    void SetModified(bool value);
    void UpdateButtons();

    std::string exeDir_;
    std::vector<std::string> lines_;
    bool modified_ = false;
    bool readable_ = true; // an existing list that could not be read is never overwritten
};

} // namespace tintabrel
