// Each option of the hue window, described once: the engine's field, its name on the command line
// and in recipes, its "+suffix" on one change, its help text, and its entry in the window's pane
// menu. The command line, recipe steps, usage, manual page, completions and the window all read
// this table, so a further option is one entry here plus its rule in the engine.
#pragma once

#include <string>
#include <vector>

#include "recolour/HueReplace.h"

namespace tintabrel {

struct THueOptionDef {
    const char* Name;   // "wrap": --wrap, the recipe field "wrap"
    const char* Suffix; // "wrap": "+wrap" on one change; a number follows it ("+soft30")
    // A flag (bool field) or a number Lo..Hi (int field), exactly one of the two set.
    bool THueWindow::*Flag;
    int THueWindow::*Number;
    int Lo, Hi;
    const char* ValueText; // "0-90" for a number
    const char* Help;      // English: usage, manual page
    // The pane menu: its text and hint (Japanese), and for a number the choices offered (0: off).
    const char* MenuText;
    const char* MenuHint;
    std::vector<int> MenuChoices;

    int Get(const THueWindow& window) const { return Flag ? int(window.*Flag) : window.*Number; }
    void Set(THueWindow& window, int value) const
    {
        if (Flag) window.*Flag = value != 0;
        else window.*Number = value;
    }
};

// In the order the usage text and the menu show them.
const std::vector<THueOptionDef>& HueOptions();

// The options of one change set on top of those for every change: a flag set in either is set;
// a number set on the change (not 0) wins over the common one.
void MergeHueOptions(THueWindow& change, const THueWindow& common);

// The "+suffix" list for messages: "+wrap, +softF, +shift, +visible, +lightness".
std::string HueSuffixList();

} // namespace tintabrel
