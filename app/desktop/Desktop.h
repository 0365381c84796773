// What the two desktop programs (the window and the list editor) share: how a handler's failure
// reaches the user, and Qt's own texts in Japanese.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "base/Exceptions.h"

class QString;
class QWidget;

namespace tintabrel {

// A failure that ends a handler without a message.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

// The message as the default handler shows it: "." appended when the last byte sorts after ".".
std::string DisplayMessage(const std::string& message);

// Runs an event handler under the default failure handling: a failure's message goes to
// show(DisplayMessage(text)) (an EAbort is silent), and the program goes on with whatever state
// the handler had reached. No exception may unwind through the toolkit's event loop.
template <class Show, class F>
void GuardedCall(Show&& show, F&& handler)
{
    try {
        std::forward<F>(handler)();
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        std::forward<Show>(show)(DisplayMessage(e.what()));
    }
}

// Installs Qt's Japanese translations (qtbase_ja) into the application and makes Japanese the
// default locale, so that the standard dialogs and buttons speak the program's language whatever
// the system's locale. False when the translations are not installed on this system (Qt's English
// texts stay).
bool InstallQtTranslations();

// The question both programs ask before closing with unsaved work: save (the default), discard, or
// cancel (Escape), in the same Japanese words. 0 save, 1 discard, 2 cancel.
int AskToSaveChanges(QWidget* parent, const QString& caption, const QString& text);

} // namespace tintabrel
