// Everything that stops the window to ask or tell the user, and the start of another program,
// goes through one replaceable object, so that tests can answer in place of the user.
#pragma once

#include <memory>
#include <string>

#include <QString>

class QFileDialog;
class QWidget;

namespace tintabrel {

// Settings and result of an open or save dialog; FileName is the chosen path after Execute.
struct TFileDialog {
    std::string Title;
    std::string Filter;     // "description|pattern;pattern|description|pattern..."
    int FilterIndex = 1;    // 1-based, as the filter pairs are counted
    std::string DefaultExt; // without the dot; added to a chosen name that has no extension
    std::string FileName;
};

enum class TMsgIcon { None, Information, Warning, Error };

// The answers to the question before closing with unsaved work.
enum class TSaveAnswer { Save, Discard, Cancel };

class TDialogs {
public:
    virtual ~TDialogs() = default;

    // Shows the dialog modally; on a confirmed choice fills dialog.FileName and returns true.
    virtual bool ExecuteOpen(QWidget* parent, TFileDialog& dialog);
    virtual bool ExecuteSave(QWidget* parent, TFileDialog& dialog);
    // A modal question with Yes and No buttons (No the default); true for Yes.
    virtual bool Confirm(QWidget* parent, const std::string& text, const std::string& caption);
    // A modal question with the buttons save, discard and cancel (save the default, Escape cancels).
    virtual TSaveAnswer AskSaveChanges(QWidget* parent, const std::string& text, const std::string& caption);
    // A modal box with one OK button.
    virtual void MessageBox(QWidget* parent, const std::string& text, const std::string& caption, TMsgIcon icon);
    // Starts a program without waiting for it; false when it could not be started.
    virtual bool StartProgram(const std::string& path);
};

// The object in use (the Qt implementation unless a test installed another).
TDialogs& Dialogs();
// Installs a replacement and returns the previous one; nullptr restores the Qt implementation.
std::unique_ptr<TDialogs> SetDialogs(std::unique_ptr<TDialogs> dialogs);

// Prepares Qt's file dialog as an open (save false) or save dialog with these settings.
void SetupFileDialog(QFileDialog& box, const TFileDialog& dialog, bool save);
// After a confirmed choice: fills FileName and FilterIndex; false when no file was chosen.
bool TakeFileDialogResult(const QFileDialog& box, TFileDialog& dialog);

// The extension (without the dot) that the chosen filter's first pattern names ("*.bmp": "bmp"),
// else DefaultExt: what a save adds to a name typed without one.
std::string FilterExtension(const TFileDialog& dialog);

// Qt's filter syntax for a "description|patterns|..." list: "description (pattern pattern)" pairs.
std::string QtFilterOf(const std::string& filter);

// The simple message dialog: application title as caption, no icon, one OK button.
void ShowMessage(QWidget* parent, const std::string& text);

// Conversions between the program's UTF-8 paths and texts and Qt's strings.
QString ToQString(const std::string& text);
std::string FromQString(const QString& text);
std::string PathFromQString(const QString& path);

} // namespace tintabrel
