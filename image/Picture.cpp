#include "image/Picture.h"

#include "base/Exceptions.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace tintabrel {

namespace {

std::mutex g_registryLock;

std::vector<TPicture::TFileFormat>& Registry()
{
    static std::vector<TPicture::TFileFormat> formats{
        {"bmp", "Bitmaps", "TBitmap", [] { return std::unique_ptr<TGraphic>(new TBitmap); }},
    };
    return formats;
}

std::string Lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

void TPicture::Attach()
{
    if (graphic_) graphic_->OnChange = [this](TGraphic&) { Forward(); };
}

void TPicture::Forward()
{
    if (OnChange) OnChange(*this);
}

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic)
{
    graphic_ = std::move(graphic);
    Attach();
    Forward();
}

TBitmap& TPicture::Bitmap()
{
    if (auto* bitmap = dynamic_cast<TBitmap*>(graphic_.get())) return *bitmap;
    graphic_ = std::make_unique<TBitmap>();
    Attach();
    Forward();
    return static_cast<TBitmap&>(*graphic_);
}

void TPicture::Assign(const TGraphic* source)
{
    if (!source) {
        SetGraphic(nullptr);
        return;
    }
    if (dynamic_cast<const TBitmap*>(source)) {
        Bitmap().Assign(source);
        return;
    }
    std::unique_ptr<TGraphic> copy;
    {
        std::lock_guard lock(g_registryLock);
        for (const TFileFormat& f : Registry())
            if (f.ClassName == source->ClassName()) copy = f.Factory();
    }
    if (!copy) throw EConvertError(msg::CannotAssign(source->ClassName(), "TPicture"));
    copy->Assign(source);
    SetGraphic(std::move(copy));
}

void TPicture::LoadFromFile(const std::string& path)
{
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    std::string ext = (dot == std::string::npos || (slash != std::string::npos && dot < slash)) ? "" : Lower(path.substr(dot + 1));
    TGraphicFactory factory;
    {
        std::lock_guard lock(g_registryLock);
        for (const TFileFormat& f : Registry())
            if (f.Extension == ext) factory = f.Factory;
    }
    if (!factory) throw EInvalidGraphic("不明な拡張子です (." + ext + ")");
    std::unique_ptr<TGraphic> graphic = factory();
    graphic->LoadFromFile(path);
    SetGraphic(std::move(graphic));
}

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  const std::string& className, TGraphicFactory factory)
{
    std::lock_guard lock(g_registryLock);
    Registry().push_back({Lower(extension), description, className, std::move(factory)});
}

void TPicture::UnregisterGraphicClass(const std::string& className)
{
    std::lock_guard lock(g_registryLock);
    auto& r = Registry();
    r.erase(std::remove_if(r.begin(), r.end(), [&](const TFileFormat& f) { return f.ClassName == className; }), r.end());
}

std::vector<TPicture::TFileFormat> TPicture::FileFormats()
{
    std::lock_guard lock(g_registryLock);
    return Registry();
}

} // namespace tintabrel
