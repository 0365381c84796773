#include "app/window/Application.h"

#include <malloc.h>

#include <QCoreApplication>
#include <QIcon>
#include <QPainter>
#include <QPalette>
#include <QPixmap>

#include "app/desktop/DataFiles.h"
#include "app/window/Dialogs.h"
#include "base/Colors.h"

namespace tintabrel {

namespace {

TColor ToColor(const QColor& c)
{
    return MakeColor(static_cast<uint8_t>(c.red()), static_cast<uint8_t>(c.green()), static_cast<uint8_t>(c.blue()));
}

// The desktop's interface colours as the style's palette has them; indices the palette has
// no role for keep the classic values.
TColor StyleSysColor(int index)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return DefaultSysColor(index);
    const QPalette palette = QApplication::palette();
    switch (index) {
    case 4: return ToColor(palette.color(QPalette::Window));            // menu
    case 5: return ToColor(palette.color(QPalette::Base));              // window
    case 7: return ToColor(palette.color(QPalette::WindowText));        // menu text
    case 8: return ToColor(palette.color(QPalette::WindowText));        // window text
    case 13: return ToColor(palette.color(QPalette::Highlight));        // highlight
    case 14: return ToColor(palette.color(QPalette::HighlightedText));  // highlight text
    case 15: return ToColor(palette.color(QPalette::Button));           // button face
    case 16: return ToColor(palette.color(QPalette::Dark));             // button shadow
    case 17: return ToColor(palette.color(QPalette::Disabled, QPalette::Text)); // grey text
    case 18: return ToColor(palette.color(QPalette::ButtonText));       // button text
    case 20: return ToColor(palette.color(QPalette::Light));            // button highlight
    case 21: return ToColor(palette.color(QPalette::Shadow));           // 3-D dark shadow
    case 22: return ToColor(palette.color(QPalette::Midlight));         // 3-D light
    case 23: return ToColor(palette.color(QPalette::ToolTipText));      // info text
    case 24: return ToColor(palette.color(QPalette::ToolTipBase));      // info background
    case 26: return ToColor(palette.color(QPalette::Link));             // hot light
    default: return DefaultSysColor(index);
    }
}

// Four swatches, one of them recoloured: what the program does, at icon size.
QIcon MakeWindowIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(QColor(64, 64, 64));
    const QColor colors[4] = {QColor(220, 40, 40), QColor(40, 180, 60), QColor(40, 90, 220), QColor(240, 200, 40)};
    for (int i = 0; i < 4; ++i) {
        painter.setBrush(colors[i]);
        painter.drawRect((i % 2) * 16 + 1, (i / 2) * 16 + 1, 13, 13);
    }
    return QIcon(pixmap);
}

} // namespace

void InitApplication()
{
    // Every slider move with the mask or the preview on allocates and frees the same picture-sized
    // buffers: the allocator keeps them for the next move instead of handing them back to the
    // system and faulting them in again (a 512 x 512 sprite: 11 ms per move -> 1.2 ms).
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    QCoreApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));
    QGuiApplication::setApplicationDisplayName(QString::fromLatin1(ApplicationTitle));
    QGuiApplication::setWindowIcon(MakeWindowIcon());
    SetSysColorProvider(&StyleSysColor);
    InstallQtTranslations();
}

std::string ProgramDir() { return PathFromQString(QCoreApplication::applicationDirPath()) + "/"; }

std::string ApplicationDir() { return DataFolder(ProgramDir()); }

void ShowFailure(const std::string& text)
{
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent) parent = QApplication::activeWindow();
    Dialogs().MessageBox(parent, text, ApplicationTitle, TMsgIcon::Error);
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    bool result = false;
    Guarded([&] { result = QApplication::notify(receiver, event); });
    return result;
}

} // namespace tintabrel
