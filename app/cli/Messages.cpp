#include "app/cli/Messages.h"

#include "base/Exceptions.h"
#include "base/Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace tintabrel::cli {

std::string Printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // The C1 controls (U+0080 to U+009F) are controls too, written in UTF-8 as C2 80 .. C2 9F.
        const bool c1 = c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c >= 0x20 && c != 0x7F && !c1) {
            out += text[i];
            continue;
        }
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", c1 ? static_cast<unsigned char>(text[++i]) : c);
            out += c1 ? "\\u00" + std::string(code + 2) : std::string(code);
        }
        }
    }
    return out;
}

namespace {

std::string Cause(int code)
{
    switch (code) {
    case ENOSPC: return "the disk is full";
    case EDQUOT: return "the disk quota is used up";
    case EFBIG: return "the file would be larger than the file-size limit allows";
    case EACCES:
    case EPERM: return "permission denied";
    case EROFS: return "the file system is read-only";
    case ENOENT: return "the folder does not exist";
    case ENOTDIR: return "a part of the path is not a folder";
    case ENAMETOOLONG: return "the name is too long";
    case EPIPE: return "the reading end was closed";
    default: return std::system_category().message(code);
    }
}

std::string OpenCause(int code)
{
    switch (code) {
    case ENOENT: return "no such file";
    case EBADF: return "it is closed";
    case EISDIR: return "it is a folder";
    case EMFILE:
    case ENFILE: return "too many open files";
    default: return Cause(code);
    }
}

// What a failure of each kind means, for a message that says only the window's Japanese text.
std::string MeaningOf(const std::exception& error)
{
    if (dynamic_cast<const EOutOfResources*>(&error)) return "not enough memory for this picture";
    if (dynamic_cast<const EReadError*>(&error)) return "the file cannot be read to its end";
    if (dynamic_cast<const EWriteError*>(&error)) return "the file cannot be written";
    if (dynamic_cast<const EInvalidGraphic*>(&error)) return "not a picture this program can read";
    if (dynamic_cast<const EConvertError*>(&error)) return "a value cannot be converted";
    return "the work failed";
}

} // namespace

std::string OutOfMemoryText() { return std::string("not enough memory for this picture (") + msg::OutOfResources + ")"; }

std::string FailureText(const std::exception& error)
{
    const auto* file = dynamic_cast<const TFileFailure*>(&error);
    if (!file) {
        // The message as the window shows it, after what exactly happened when that is known.
        const auto* known = dynamic_cast<const Exception*>(&error);
        if (known && !known->Detail().empty()) return known->Detail() + " (" + error.what() + ")";
        // A message in the window's words alone gets what it means in English before it.
        const std::string what = error.what();
        if (std::all_of(what.begin(), what.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) return what;
        return MeaningOf(error) + " (" + what + ")";
    }
    if (dynamic_cast<const EFOpenError*>(&error))
        return "cannot open " + file->Path() + ": " + OpenCause(file->Code()) + " (" + error.what() + ")";
    if (dynamic_cast<const EFCreateError*>(&error)) {
        if (file->Code() == EEXIST)
            return file->Path() + " exists: it appeared while this file was written, and is kept (--overwrite replaces it)";
        return "cannot create " + file->Path() + ": " + Cause(file->Code()) + " (" + error.what() + ")";
    }
    return "cannot write " + file->Path() + ": " + Cause(file->Code()) + " (" + error.what() + ")";
}

} // namespace tintabrel::cli
