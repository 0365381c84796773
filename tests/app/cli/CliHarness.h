// Runs the command-line tool and makes and reads pictures with the project's own code.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "app/PictureFiles.h"

namespace tintabrel::test {

struct TCliRun {
    int Status = -1; // exit status, or -1 when the tool did not exit normally
    int Signal = 0;  // the signal that ended the tool, if one did
    std::string Out;
    std::string Err;
};

// Runs tintabrel-cli with args, standard input empty, and waits for it.
TCliRun RunCli(const std::vector<std::string>& args);
// The same as the unprivileged user nobody (setpriv), where this runs as root; nothing elsewhere.
std::optional<TCliRun> RunCliAsNobody(const std::vector<std::string>& args);

// A run whose standard output is a terminal (a pseudo-terminal): Screen is what reached it.
struct TTerminalRun {
    bool Started = false; // false when no pseudo-terminal could be had
    int Status = -1;
    std::string Screen;
    std::string Err;
};
TTerminalRun RunCliOnATerminal(const std::vector<std::string>& args);

// The same with input fed to its standard input through a pipe (which cannot seek).
TCliRun RunCliPiped(const std::vector<std::string>& args, const std::string& input);
// The same, but sends signal to the tool as soon as ready() holds (checked every few
// milliseconds; given up after a minute).
TCliRun RunCliInterrupted(const std::vector<std::string>& args, int signal, const std::function<bool()>& ready);

// Runs the tool under a file-size limit of fileSize bytes (RLIMIT_FSIZE, with the system's
// default answer to exceeding it, SIGXFSZ, left to the tool).
TCliRun RunCliWithFileSizeLimit(const std::vector<std::string>& args, uint64_t fileSize);

// A signal sent once Ready, given what the tool wrote to standard error so far, holds.
struct TCliSignal {
    std::function<bool(const std::string& err)> Ready;
    int Signal;
};
// Runs the tool (standard input empty) sending the signals in turn; each is given up after a
// minute of waiting, and the tool is waited for in any case.
TCliRun RunCliSignalled(const std::vector<std::string>& args, const std::vector<TCliSignal>& signals);

struct TRgb {
    uint8_t R, G, B;
};

// A 24-bit picture of width x height whose pixel (x, y) is color(x, y).
void MakeImage(TBitmap& image, int width, int height, TRgb (*color)(int x, int y));
// A sprite with many hues, greys and saturations: every pixel differs from its neighbours.
void MakeSprite(TBitmap& image, int width, int height);
// An 8-bit alpha picture (byte = 255 - alpha) with a pattern of opaque, clear and half pixels.
void MakeAlpha(TBitmap& alpha, int width, int height);

// The pixels of a picture as red, green, blue bytes, row by row from the top.
std::vector<uint8_t> RgbBytes(const TBitmap& image);
// The bytes of an 8-bit picture row by row (empty for an empty picture).
std::vector<uint8_t> AlphaBytes(const TBitmap& alpha);

void WritePicture(const std::string& path, const TBitmap& image, const TBitmap& alpha = TBitmap());
void ReadPicture(const std::string& path, TPictureData& data);
// The PNG signature followed by these bytes.
std::vector<unsigned char> PngBytes(std::initializer_list<unsigned char> after = {});

// The message the program gives for a file it cannot load (the exception's text).
std::string LoadFailure(const std::string& path);

bool Contains(const std::string& text, const std::string& part);

} // namespace tintabrel::test
