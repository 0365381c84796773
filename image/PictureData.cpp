#include "image/PictureData.h"
#include "image/Animation.h"

namespace tintabrel {

TPictureData& TPictureData::operator=(TPictureData&& other)
{
    if (&other == this) return *this;
    Image.Assign(other.Image);
    Alpha.Assign(other.Alpha);
    PaletteBits = other.PaletteBits;
    IndexAlpha = std::move(other.IndexAlpha);
    Info = std::move(other.Info);
    Animation = std::move(other.Animation);
    other.Image.Clear();
    other.Alpha.Clear();
    return *this;
}

void TPictureData::Assign(const TPictureData& other)
{
    if (&other == this) return;
    Image.Assign(other.Image);
    Alpha.Assign(other.Alpha);
    PaletteBits = other.PaletteBits;
    IndexAlpha = other.IndexAlpha;
    Info = other.Info;
    Animation.reset();
    if (other.Animation) {
        auto copy = std::make_shared<TAnimation>();
        copy->Width = other.Animation->Width;
        copy->Height = other.Animation->Height;
        copy->Plays = other.Animation->Plays;
        copy->Gif = other.Animation->Gif;
        copy->Frames.resize(other.Animation->Frames.size());
        for (size_t i = 0; i < copy->Frames.size(); ++i) {
            const TFrame& from = other.Animation->Frames[i];
            TFrame& to = copy->Frames[i];
            to.Picture.Assign(from.Picture);
            to.X = from.X;
            to.Y = from.Y;
            to.DelayNum = from.DelayNum;
            to.DelayDen = from.DelayDen;
            to.Dispose = from.Dispose;
            to.Blend = from.Blend;
            to.Gif = from.Gif;
            to.Apng = from.Apng;
        }
        if (other.Animation->HiddenDefault) {
            copy->HiddenDefault.emplace();
            copy->HiddenDefault->Assign(*other.Animation->HiddenDefault);
        }
        Animation = std::move(copy);
    }
}

} // namespace tintabrel
