// The application object's part of the window: its title, the desktop colours, the folder of the
// executable, and the default handling of failures that a handler does not catch itself.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include <QApplication>

#include "base/Exceptions.h"

namespace tintabrel {

inline constexpr const char* ApplicationTitle = "Tintabrel";

// A failure that ends a handler without a message.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

// Sets the title, the window icon and the provider of system colours (the style's palette).
void InitApplication();

// The folder of the running executable, ending in "/".
std::string ApplicationDir();

// The message as the default handler shows it: "." appended when the last byte sorts after ".".
std::string DisplayMessage(const std::string& message);
// The default handler: a modal box with the title as caption, an error icon and one OK button.
void ShowException(const std::exception& e);

// Runs a handler under the default handler: a failure is shown (an EAbort silently) and the
// program goes on with whatever state the handler had reached.
template <class F>
void Guarded(F&& handler)
{
    try {
        std::forward<F>(handler)();
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

// The application object: also catches what escapes an event handler, since an exception must
// not unwind through the toolkit's event loop.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace tintabrel
