// Where the window and the list editor find ColorList.dat and moto.bmp.
#pragma once

#include <string>

namespace tintabrel {

// The folder (ending in "/") of the data files. Beside the program when ColorList.dat is there (a
// build, a copy run from its folder). An installed program has them in <prefix>/share/tintabrel,
// which users cannot write: the list is edited, so the user's own folder ($XDG_DATA_HOME/tintabrel,
// by default ~/.local/share/tintabrel) is used, and the installed files are copied there the
// first time. programDir is the program's folder, ending in "/".
std::string DataFolder(const std::string& programDir);

} // namespace tintabrel
