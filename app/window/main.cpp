// Start-up: the application object, then the one window until it is closed. A file named on the
// command line (as a file manager's "open with" passes it) is loaded as the load button would.
#include "app/window/Application.h"
#include "app/window/Unit_Main.h"

int main(int argc, char** argv)
{
    tintabrel::TApplication app(argc, argv);
    tintabrel::InitApplication();
    tintabrel::TfrmMain frmMain(tintabrel::ApplicationDir());
    frmMain.ShowCentred();
    frmMain.OpenArguments(QCoreApplication::arguments());
    return app.exec();
}
