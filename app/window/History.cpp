#include "app/window/History.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "image/Animation.h"

#include <unistd.h>

namespace tintabrel {

namespace {

const TBitmapImage* StoreOf(const TBitmap& bitmap) { return bitmap.Image().get(); }

size_t StoreBytes(const TBitmapImage& store)
{
    return (store.HasForm() ? store.ImageBytes() : 0) + store.SavedFileBytes.size() +
           store.ColorTable.size() * sizeof(TRGBQuad);
}

// Each pixel store of the picture: its image and alpha, and an animation's frames (each state
// holds a copy of the frames that shares their stores).
template <class Visit>
void ForEachStore(const TPictureData& picture, Visit visit)
{
    visit(picture.Image);
    visit(picture.Alpha);
    if (!picture.Animation) return;
    for (const TFrame& frame : picture.Animation->Frames) {
        visit(frame.Picture.Image);
        visit(frame.Picture.Alpha);
    }
    if (picture.Animation->HiddenDefault) {
        visit(picture.Animation->HiddenDefault->Image);
        visit(picture.Animation->HiddenDefault->Alpha);
    }
}

bool SameStores(const TPictureData& a, const TPictureData& b)
{
    std::vector<const TBitmapImage*> x, y;
    ForEachStore(a, [&x](const TBitmap& bitmap) { x.push_back(StoreOf(bitmap)); });
    ForEachStore(b, [&y](const TBitmap& bitmap) { y.push_back(StoreOf(bitmap)); });
    return x == y;
}

} // namespace

bool SamePictures(const TWindowState& a, const TWindowState& b)
{
    return SameStores(a.Before, b.Before) && SameStores(a.After, b.After);
}

size_t TUndoHistory::DefaultByteLimit()
{
    constexpr size_t Floor = size_t{64} << 20;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return Floor;
    return std::max(Floor, static_cast<size_t>(pages) / 4 * static_cast<size_t>(pageSize));
}

void TUndoHistory::SetByteLimit(size_t limit)
{
    limit_ = limit;
    Trim();
}

size_t TUndoHistory::Bytes() const
{
    std::unordered_set<const TBitmapImage*> seen;
    size_t total = 0;
    const auto count = [&](const TBitmap& bitmap) {
        const TBitmapImage* store = StoreOf(bitmap);
        if (store && seen.insert(store).second) total += StoreBytes(*store);
    };
    for (const auto* steps : {&undo_, &redo_})
        for (const auto& state : *steps) {
            ForEachStore(state->Before, count);
            ForEachStore(state->After, count);
            count(state->Clean);
        }
    return total;
}

void TUndoHistory::Push(std::unique_ptr<TWindowState> previous)
{
    redo_.clear();
    undo_.push_back(std::move(previous));
    Trim();
}

std::unique_ptr<TWindowState> TUndoHistory::Undo(std::unique_ptr<TWindowState> current)
{
    if (undo_.empty()) return current;
    std::unique_ptr<TWindowState> shown = std::move(undo_.back());
    undo_.pop_back();
    redo_.push_back(std::move(current));
    return shown;
}

std::unique_ptr<TWindowState> TUndoHistory::Redo(std::unique_ptr<TWindowState> current)
{
    if (redo_.empty()) return current;
    std::unique_ptr<TWindowState> shown = std::move(redo_.back());
    redo_.pop_back();
    undo_.push_back(std::move(current));
    return shown;
}

void TUndoHistory::Clear()
{
    undo_.clear();
    redo_.clear();
}

void TUndoHistory::Trim()
{
    // Stores shared between steps are counted once, so the sum is taken again after each drop.
    while (undo_.size() > 1 && Bytes() > limit_) undo_.pop_front();
}

TUndoStep::TUndoStep(TUndoHistory& history, TCapture capture)
    : history_(history), capture_(std::move(capture)), before_(capture_())
{
}

TUndoStep::~TUndoStep()
{
    // Keeping the step can fail only for want of memory; the command's own result stands then.
    try {
        if (!SamePictures(*before_, *capture_())) history_.Push(std::move(before_));
    } catch (const std::exception&) {
    }
}

} // namespace tintabrel
