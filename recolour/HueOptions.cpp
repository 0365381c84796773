#include "recolour/HueOptions.h"

namespace tintabrel {

const std::vector<THueOptionDef>& HueOptions()
{
    static const std::vector<THueOptionDef> options = {
        {"wrap", "wrap", &THueWindow::Wrap, nullptr, 0, 0, "", "hue windows continue across 0/360 (both sides of blue)",
         "色相の0と360をまたぐ(&W)", "変化させる色の範囲が0や360をまたぐ時、反対側の色も変化させます。", {}},
        {"soft", "soft", nullptr, &THueWindow::Soft, 0, 90, "0-90",
         "a soft edge: pixels up to F degrees outside a window move part of the way", "境界をぼかす(&E)",
         "範囲の外側この角度までの色も、少しだけ変化させます。", {0, 10, 20, 30, 45}},
        {"shift", "shift", &THueWindow::Shift, nullptr, 0, 0, "",
         "turn caught hues by target - window centre instead of setting the target", "色相をずらす(&H)",
         "変化後の色にそろえる代わりに、元の色との差の分だけ色相を回します。", {}},
        {"visible-only", "visible", &THueWindow::VisibleOnly, nullptr, 0, 0, "",
         "fully transparent pixels keep their colour and are not counted", "見える画素だけ変える(&V)",
         "完全に透明な画素は色を変えず、数にも入れません。", {}},
        {"keep-lightness", "lightness", &THueWindow::KeepLightness, nullptr, 0, 0, "",
         "moved pixels keep the lightness the eye sees (new colours in OKLCH)", "明るさを保つ(&L)",
         "色相を変えても、目に見える明るさ(OKLab の L)を保ちます。", {}},
    };
    return options;
}

void MergeHueOptions(THueWindow& change, const THueWindow& common)
{
    for (const THueOptionDef& o : HueOptions()) {
        if (o.Flag) change.*o.Flag = change.*o.Flag || common.*o.Flag;
        else if (change.*o.Number == 0) change.*o.Number = common.*o.Number;
    }
}

std::string HueSuffixList()
{
    std::string list;
    for (const THueOptionDef& o : HueOptions())
        list += (list.empty() ? "+" : ", +") + std::string(o.Suffix) + (o.Number ? "F" : "");
    return list;
}

} // namespace tintabrel
