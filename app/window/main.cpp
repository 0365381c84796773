// Start-up: the application object, then the one window until it is closed.
#include "app/window/Application.h"
#include "app/window/Unit_Main.h"

int main(int argc, char** argv)
{
    tintabrel::TApplication app(argc, argv);
    tintabrel::InitApplication();
    tintabrel::TfrmMain frmMain(tintabrel::ApplicationDir());
    frmMain.ShowCentred();
    return app.exec();
}
