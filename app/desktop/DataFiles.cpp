#include "app/desktop/DataFiles.h"

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace tintabrel {

std::string DataFolder(const std::string& programDir)
{
    std::error_code ec;
    if (fs::exists(fs::path(programDir) / "ColorList.dat", ec)) return programDir;
    const fs::path installed = fs::path(programDir) / ".." / "share" / "tintabrel";
    if (!fs::exists(installed / "ColorList.dat", ec)) return programDir;

    fs::path own;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') own = fs::path(xdg) / "tintabrel";
    else if (const char* home = std::getenv("HOME"); home && *home) own = fs::path(home) / ".local" / "share" / "tintabrel";
    else return installed.lexically_normal().string() + "/";
    fs::create_directories(own, ec);
    for (const char* name : {"ColorList.dat", "moto.bmp"})
        if (!fs::exists(own / name, ec)) fs::copy_file(installed / name, own / name, ec);
    // Without a copy of the list (no room, no permission) the installed one is read as it is.
    if (!fs::exists(own / "ColorList.dat", ec)) return installed.lexically_normal().string() + "/";
    return own.string() + "/";
}

} // namespace tintabrel
