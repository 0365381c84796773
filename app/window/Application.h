// The application object's part of the window: its title, the desktop colours, the folder of the
// executable, and the default handling of failures that a handler does not catch itself.
#pragma once

#include <string>
#include <utility>

#include <QApplication>

#include "app/desktop/Desktop.h"

namespace tintabrel {

inline constexpr const char* ApplicationTitle = "Tintabrel";

// Sets the title, the window icon, the provider of system colours (the style's palette),
// Qt's Japanese texts, and an allocator that keeps picture-sized buffers for reuse.
void InitApplication();

// The folder of the data files (ColorList.dat, moto.bmp), ending in "/": see DataFolder.
std::string ApplicationDir();
// The folder of the window's program, ending in "/" (the list editor is beside it).
std::string ProgramDir();

// The default handler's box for a failure's message (made ready by DisplayMessage): modal, the
// title as caption, an error icon and one OK button.
void ShowFailure(const std::string& text);

// Runs a handler under the default handler (GuardedCall with the window's message box).
template <class F>
void Guarded(F&& handler)
{
    GuardedCall(ShowFailure, std::forward<F>(handler));
}

// The application object: also catches what escapes an event handler, since an exception must
// not unwind through the toolkit's event loop.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace tintabrel
