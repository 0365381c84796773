// Undo and redo of the window's picture commands (load, check, L and R). A step keeps the
// window's state from before a command: both pictures with their transparency, the zoom, the
// path the check command reads and which after picture was last loaded or saved. Pictures share
// pixel stores with the window and with each other until one of them changes, so a step costs
// only the pixels its command changed; the history is bounded by the bytes of the distinct
// stores it holds (an animation's frames among them), not by a number of steps.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/PictureChange.h"
#include "app/PictureFiles.h"

namespace tintabrel {

struct TWindowState {
    TPictureData Before;
    TPictureData After;
    int Zoom = 0;     // item index of the zoom group
    std::string Path; // the picture last chosen for loading
    int ScrollX = 0;  // the panes' scroll position
    int ScrollY = 0;
    // The after picture as last loaded or saved then: undoing back to it shows it as saved.
    TBitmap Clean;
    // The rectangle selected on the before pane, which the check, the mask and the preview keep to.
    std::optional<TRegionRect> Selection;
};

// True when both states hold the same pictures (the same pixel stores, frames included).
bool SamePictures(const TWindowState& a, const TWindowState& b);

class TUndoHistory {
public:
    // A quarter of the machine's memory, at least 64 MiB.
    static size_t DefaultByteLimit();

    explicit TUndoHistory(size_t byteLimit = DefaultByteLimit()) : limit_(byteLimit) {}

    size_t ByteLimit() const { return limit_; }
    // Lowers or raises the limit; the oldest steps go until the history fits.
    void SetByteLimit(size_t limit);
    // Bytes of the distinct pixel stores the steps hold.
    size_t Bytes() const;
    size_t UndoCount() const { return undo_.size(); }
    size_t RedoCount() const { return redo_.size(); }
    bool CanUndo() const { return !undo_.empty(); }
    bool CanRedo() const { return !redo_.empty(); }

    // A command changed the window; previous is the state before it. The redo steps go, and the
    // oldest undo steps while the history is above its limit (the newest one always stays).
    void Push(std::unique_ptr<TWindowState> previous);
    // The state to show instead of current, which is kept for redo (undo); current itself when
    // there is no step.
    std::unique_ptr<TWindowState> Undo(std::unique_ptr<TWindowState> current);
    std::unique_ptr<TWindowState> Redo(std::unique_ptr<TWindowState> current);
    void Clear();

private:
    void Trim();

    size_t limit_;
    std::deque<std::unique_ptr<TWindowState>> undo_; // oldest first
    std::deque<std::unique_ptr<TWindowState>> redo_; // newest undone last
};

// One command in progress: takes the window's state when made and, when the command's scope is
// left (also by a failure, since what a failing handler changed stays changed), keeps that state
// as an undo step if the pictures have changed.
class TUndoStep {
public:
    using TCapture = std::function<std::unique_ptr<TWindowState>()>;
    TUndoStep(TUndoHistory& history, TCapture capture);
    ~TUndoStep();
    TUndoStep(const TUndoStep&) = delete;
    TUndoStep& operator=(const TUndoStep&) = delete;

private:
    TUndoHistory& history_;
    TCapture capture_;
    std::unique_ptr<TWindowState> before_;
};

} // namespace tintabrel
