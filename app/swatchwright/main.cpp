// The protected colour list editor: one window over ColorList.dat beside the executable.
#include <QApplication>

#include "app/swatchwright/Swatchwright.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    tintabrel::InitEditorApplication();
    tintabrel::TfrmSwatchwright window;
    window.show();
    return app.exec();
}
