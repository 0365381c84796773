// The picture holder inside an image control: owns at most one graphic and forwards its changes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/Graphics.h"

namespace tintabrel {

class TPicture {
public:
    using TGraphicFactory = std::function<std::unique_ptr<TGraphic>()>;

    TPicture() = default;
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    // Called after every change of the held graphic.
    std::function<void(TPicture&)> OnChange;

    TGraphic* Graphic() const { return graphic_.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    // The held bitmap; a graphic of another class (or none) is first replaced by an empty bitmap.
    TBitmap& Bitmap();
    int32_t Width() const { return graphic_ ? graphic_->Width() : 0; }
    int32_t Height() const { return graphic_ ? graphic_->Height() : 0; }
    // Copies a graphic in: a bitmap source goes into the held bitmap, others are cloned by class.
    void Assign(const TGraphic* source);
    // Loads a file with the graphic class registered for its extension (letter case ignored).
    void LoadFromFile(const std::string& path);

    // Registry of file extensions (without the dot) and graphic classes.
    static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                   const std::string& className, TGraphicFactory factory);
    static void UnregisterGraphicClass(const std::string& className);
    struct TFileFormat {
        std::string Extension;
        std::string Description;
        std::string ClassName;
        TGraphicFactory Factory;
    };
    static std::vector<TFileFormat> FileFormats();

private:
    void Attach();
    void Forward();
    std::unique_ptr<TGraphic> graphic_;
};

} // namespace tintabrel
