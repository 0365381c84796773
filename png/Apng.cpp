#include "png/Apng.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "png/PngRows.h"

namespace tintabrel {

namespace {

uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

std::string TypeName(uint32_t type)
{
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>(type >> shift);
        name += (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? c : '?';
    }
    return name;
}

// Frames are counted from 1 in what is said, as info lists them and the GIF reader counts them.
[[noreturn]] void Refuse(const std::string& cause) { throw EVRQPNG("not a valid animated PNG: " + cause); }

std::string Size(uint64_t w, uint64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

// The chunks a frame's own file needs to decode as the default image does: its palette and
// transparency, and what else describes the samples.
bool DecodingChunk(uint32_t type)
{
    switch (type) {
    case chunk::PLTE:
    case chunk::tRNS:
    case chunk::gAMA:
    case chunk::cHRM:
    case chunk::sBIT:
    case chunk::bKGD:
    case chunk::pHYs:
    case chunk::vpNG:
    case ChunkType("sRGB"):
    case ChunkType("iCCP"): return true;
    default: return false;
    }
}

// The bytes of a frame's rows before compression, as the header's layout gives them.
uint64_t RawBytes(const uint8_t* ihdr, uint64_t width, uint64_t height)
{
    const uint8_t depth = ihdr[8], colourType = ihdr[9], interlace = ihdr[12];
    const uint64_t channels = colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
    const uint64_t bits = channels * std::max<uint64_t>(depth, 1);
    const auto rows = [&](uint64_t w, uint64_t h) { return w == 0 ? 0 : h * (1 + (w * bits + 7) / 8); };
    if (interlace != 1) return rows(width, height);
    uint64_t total = 0;
    for (const TPassGeometry& pass : Adam7Passes) {
        const TPassSize s = PassSize(pass, static_cast<int32_t>(width), static_cast<int32_t>(height));
        total += rows(static_cast<uint64_t>(s.Width), static_cast<uint64_t>(s.Height));
    }
    return total;
}

// A deflate stream grows at most about 1032-fold (two bits for 258 bytes); this leaves room.
constexpr uint64_t MaxInflateRatio = 1100;
constexpr uint64_t InflateSlack = 64;

struct TChunkAt {
    uint32_t Type = 0;
    size_t Start = 0;  // the length field
    size_t Length = 0; // of the data
    size_t Data() const { return Start + 8; }
    size_t End() const { return Start + 12 + Length; }
};

// The chunks of a PNG file written by the codec; EInvalidGraphic when it is none.
std::vector<TChunkAt> ChunksOf(const std::vector<uint8_t>& png, const char* what)
{
    const auto bad = [&](const std::string& cause) {
        throw EInvalidGraphic(std::string("cannot write the animated PNG: ") + what + " " + cause);
    };
    if (png.size() < 8 || std::memcmp(png.data(), PngSignature, 8) != 0) bad("is no PNG file");
    std::vector<TChunkAt> chunks;
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        TChunkAt c;
        c.Start = pos;
        c.Length = Be32(&png[pos]);
        c.Type = Be32(&png[pos + 4]);
        if (c.Length > 0x7FFFFFFF || c.Length > png.size() - pos - 12) bad("has a chunk past its end");
        chunks.push_back(c);
        pos = c.End();
        if (c.Type == chunk::IEND) break;
    }
    if (chunks.empty() || chunks[0].Type != chunk::IHDR || chunks[0].Length != 13) bad("has no header");
    if (std::none_of(chunks.begin(), chunks.end(), [](const TChunkAt& c) { return c.Type == chunk::IDAT; }))
        bad("has no image data");
    return chunks;
}

// The header but its size, the palette and its transparency: what all frames must share.
std::vector<uint8_t> LayoutKey(const std::vector<uint8_t>& png, const std::vector<TChunkAt>& chunks)
{
    const auto at = [&](size_t offset) { return png.begin() + static_cast<ptrdiff_t>(offset); };
    std::vector<uint8_t> key(at(chunks[0].Data() + 8), at(chunks[0].Data() + 13));
    for (uint32_t type : {chunk::PLTE, chunk::tRNS}) {
        const auto c = std::find_if(chunks.begin(), chunks.end(), [&](const TChunkAt& x) { return x.Type == type; });
        uint8_t length[4];
        PutBe32(length, c == chunks.end() ? 0xFFFFFFFFu : static_cast<uint32_t>(c->Length));
        key.insert(key.end(), length, length + 4);
        if (c != chunks.end()) key.insert(key.end(), at(c->Data()), at(c->Data() + c->Length));
    }
    return key;
}

// Writes one chunk: length, type, prefix and data, CRC.
void WriteChunk(TStream& stream, uint32_t type, const uint8_t* prefix, size_t prefixLength, const uint8_t* data,
                size_t length)
{
    uint8_t head[8];
    PutBe32(head, static_cast<uint32_t>(prefixLength + length));
    PutBe32(head + 4, type);
    uLong crc = crc32(0, head + 4, 4);
    if (prefixLength) crc = crc32(crc, prefix, static_cast<uInt>(prefixLength));
    if (length) crc = crc32(crc, data, static_cast<uInt>(length));
    uint8_t tail[4];
    PutBe32(tail, static_cast<uint32_t>(crc));
    stream.WriteBuffer(head, 8);
    if (prefixLength) stream.WriteBuffer(prefix, static_cast<int64_t>(prefixLength));
    if (length) stream.WriteBuffer(data, static_cast<int64_t>(length));
    stream.WriteBuffer(tail, 4);
}

void AppendChunk(std::vector<uint8_t>& out, uint32_t type, const uint8_t* data, size_t length)
{
    const size_t at = out.size();
    out.resize(at + 12 + length);
    PutBe32(&out[at], static_cast<uint32_t>(length));
    PutBe32(&out[at + 4], type);
    if (length) std::memcpy(&out[at + 8], data, length);
    PutBe32(&out[at + 8 + length], static_cast<uint32_t>(crc32(0, &out[at + 4], static_cast<uInt>(length + 4))));
}

std::vector<uint8_t> FrameControlBytes(uint32_t sequence, const TApngFrameControl& c)
{
    std::vector<uint8_t> b(26);
    PutBe32(&b[0], sequence);
    PutBe32(&b[4], c.Width);
    PutBe32(&b[8], c.Height);
    PutBe32(&b[12], c.X);
    PutBe32(&b[16], c.Y);
    b[20] = static_cast<uint8_t>(c.DelayNum >> 8);
    b[21] = static_cast<uint8_t>(c.DelayNum);
    b[22] = static_cast<uint8_t>(c.DelayDen >> 8);
    b[23] = static_cast<uint8_t>(c.DelayDen);
    b[24] = c.DisposeOp;
    b[25] = c.BlendOp;
    return b;
}

} // namespace

TApngLayout ReadApngLayout(const uint8_t* bytes, size_t size, const TAnimationLimits& limits)
{
    TApngLayout layout;
    if (size < 8 || std::memcmp(bytes, PngSignature, 8) != 0) return layout;
    bool header = false, imageStarted = false, imageEnded = false, controlBeforeAcTL = false;
    uint32_t declared = 0, sequence = 0;
    uint64_t totalPixels = 0;
    // The frame whose fdAT chunks come now (after the image data); none before its fcTL.
    bool frameOpen = false;
    const auto frameWithoutData = [&](size_t index) {
        Refuse("frame " + std::to_string(index + 1) + " has no image data (an fcTL chunk without fdAT)");
    };
    size_t pos = 8;
    bool ended = false;
    while (!ended) {
        if (pos == size) break; // no IEND: judged below
        if (size - pos < 12) {
            if (!layout.Animated) return TApngLayout{};
            Refuse("the file ends at byte " + std::to_string(size) + " inside a chunk header");
        }
        const uint32_t length = Be32(bytes + pos);
        const uint32_t type = Be32(bytes + pos + 4);
        if (length > 0x7FFFFFFF || length > size - pos - 12) {
            if (!layout.Animated) return TApngLayout{};
            Refuse("the " + TypeName(type) + " chunk at byte " + std::to_string(pos) + " declares " +
                   std::to_string(length) + " bytes, more than the file holds");
        }
        const uint8_t* data = bytes + pos + 8;
        if (imageStarted && type != chunk::IDAT) imageEnded = true;
        if (!header) {
            // The picture reader judges a file that does not start with its header.
            if (type != chunk::IHDR || length != 13) return TApngLayout{};
            header = true;
            layout.Header = {pos + 8, length};
            layout.Width = Be32(data);
            layout.Height = Be32(data + 4);
        } else if (type == chunk::acTL) {
            if (layout.Animated) {
                Refuse("two acTL chunks");
            } else if (imageStarted) {
                // Too late to make the file an animation: it stays the still picture a plain reader shows.
            } else {
                if (length != 8) Refuse("the acTL chunk holds " + std::to_string(length) + " bytes, not 8");
                if (controlBeforeAcTL) Refuse("an fcTL or fdAT chunk comes before the acTL chunk");
                declared = Be32(data);
                layout.Plays = Be32(data + 4);
                if (declared == 0) Refuse("the acTL chunk declares no frames");
                if (static_cast<int64_t>(declared) > limits.Frames())
                    Refuse("the acTL chunk declares " + std::to_string(declared) + " frames, more than the " +
                           std::to_string(limits.Frames()) + " allowed");
                const uint64_t canvas = uint64_t{layout.Width} * layout.Height;
                if (layout.Width == 0 || layout.Height == 0 || layout.Width > 0x7FFFFFFF || layout.Height > 0x7FFFFFFF)
                    Refuse("the canvas of " + Size(layout.Width, layout.Height) + " pixels is no picture size");
                if (canvas > static_cast<uint64_t>(limits.FramePixels()))
                    Refuse("the canvas of " + Size(layout.Width, layout.Height) + " pixels is larger than the " +
                           std::to_string(limits.FramePixels()) + " pixels allowed for a frame");
                layout.Animated = true;
            }
        } else if (type == chunk::fcTL || type == chunk::fdAT) {
            if (!layout.Animated) {
                controlBeforeAcTL = true;
            } else {
                const std::string at = " at byte " + std::to_string(pos);
                if (length < 4) Refuse("the " + TypeName(type) + " chunk" + at + " holds no sequence number");
                const uint32_t number = Be32(data);
                if (number != sequence)
                    Refuse("the " + TypeName(type) + " chunk" + at + " has sequence number " + std::to_string(number) +
                           " where " + std::to_string(sequence) + " comes next");
                ++sequence;
                if (type == chunk::fcTL) {
                    if (length != 26) Refuse("the fcTL chunk" + at + " holds " + std::to_string(length) + " bytes, not 26");
                    const size_t index = layout.Frames.size();
                    if (frameOpen && layout.Frames.back().Data.empty()) frameWithoutData(index - 1);
                    if (index >= declared)
                        Refuse("more frames than the " + std::to_string(declared) + " the acTL chunk declares");
                    TApngFrameControl c;
                    c.Width = Be32(data + 4);
                    c.Height = Be32(data + 8);
                    c.X = Be32(data + 12);
                    c.Y = Be32(data + 16);
                    c.DelayNum = Be16(data + 20);
                    c.DelayDen = Be16(data + 22);
                    c.DisposeOp = data[24];
                    c.BlendOp = data[25];
                    const std::string frame = "frame " + std::to_string(index + 1);
                    if (c.Width == 0 || c.Height == 0) Refuse(frame + " has a size of " + Size(c.Width, c.Height));
                    if (uint64_t{c.X} + c.Width > layout.Width || uint64_t{c.Y} + c.Height > layout.Height)
                        Refuse(frame + "'s rectangle of " + Size(c.Width, c.Height) + " at " + std::to_string(c.X) + "," +
                               std::to_string(c.Y) + " lies outside the " + Size(layout.Width, layout.Height) + " canvas");
                    if (c.DisposeOp > 2) Refuse(frame + " has dispose op " + std::to_string(c.DisposeOp) + " (0 to 2)");
                    if (c.BlendOp > 1) Refuse(frame + " has blend op " + std::to_string(c.BlendOp) + " (0 or 1)");
                    totalPixels += uint64_t{c.Width} * c.Height;
                    if (totalPixels > static_cast<uint64_t>(limits.TotalPixels()))
                        Refuse("the frames up to " + frame + " hold " + std::to_string(totalPixels) +
                               " pixels, more than the " + std::to_string(limits.TotalPixels()) + " allowed");
                    if (!imageStarted) {
                        if (index > 0) Refuse("two fcTL chunks before the image data");
                        if (c.X != 0 || c.Y != 0 || c.Width != layout.Width || c.Height != layout.Height)
                            Refuse("the first frame is the default image but its rectangle of " + Size(c.Width, c.Height) +
                                   " at " + std::to_string(c.X) + "," + std::to_string(c.Y) + " is not the " +
                                   Size(layout.Width, layout.Height) + " canvas");
                        layout.DefaultIsFirstFrame = true;
                    }
                    layout.Frames.push_back({c, {}});
                    frameOpen = imageStarted;
                } else {
                    if (!imageStarted) Refuse("an fdAT chunk" + at + " comes before the image data");
                    if (!frameOpen) Refuse("the fdAT chunk" + at + " belongs to no frame (no fcTL after the image data)");
                    layout.Frames.back().Data.push_back({pos + 12, length - 4});
                }
            }
        } else if (type == chunk::IDAT) {
            if (imageEnded && layout.Animated) Refuse("the IDAT chunk at byte " + std::to_string(pos) + " is apart from the image data");
            imageStarted = true;
            layout.DefaultData.push_back({pos + 8, length});
        } else if (type == chunk::IEND) {
            ended = true;
        } else {
            const TByteRange whole{pos, size_t{length} + 12};
            if (!imageStarted && DecodingChunk(type)) layout.Ancillary.push_back(whole);
            (imageStarted ? layout.DefaultAfter : layout.DefaultBefore).push_back(whole);
        }
        pos += size_t{length} + 12;
    }
    if (!layout.Animated) return TApngLayout{};
    if (!imageStarted) Refuse("the file has no image data (IDAT)");
    if (frameOpen && layout.Frames.back().Data.empty()) frameWithoutData(layout.Frames.size() - 1);
    if (layout.Frames.size() != declared)
        Refuse("the acTL chunk declares " + std::to_string(declared) + " frames but the file holds " +
               std::to_string(layout.Frames.size()));
    if (layout.DefaultIsFirstFrame) layout.Frames[0].Data = layout.DefaultData;
    // Data that could not inflate to the rows declared is refused before any of it is decoded.
    const auto check = [&](const std::vector<TByteRange>& data, uint64_t w, uint64_t h, const std::string& what) {
        uint64_t compressed = 0;
        for (const TByteRange& r : data) compressed += r.Length;
        const uint64_t raw = RawBytes(bytes + layout.Header.Offset, w, h);
        if (raw / MaxInflateRatio > compressed + InflateSlack)
            Refuse(what + " declares " + Size(w, h) + " pixels but holds only " + std::to_string(compressed) +
                   " bytes of image data, too few for them");
    };
    check(layout.DefaultData, layout.Width, layout.Height, "the default image");
    for (size_t i = 0; i < layout.Frames.size(); ++i)
        check(layout.Frames[i].Data, layout.Frames[i].Control.Width, layout.Frames[i].Control.Height,
              "frame " + std::to_string(i + 1));
    return layout;
}

std::vector<uint8_t> ApngFramePng(const uint8_t* bytes, const TApngLayout& layout, size_t frame)
{
    const bool whole = frame == DefaultImage || (frame == 0 && layout.DefaultIsFirstFrame);
    const std::vector<TByteRange>& data = frame == DefaultImage ? layout.DefaultData : layout.Frames.at(frame).Data;
    const std::vector<TByteRange>& before = whole ? layout.DefaultBefore : layout.Ancillary;
    const std::vector<TByteRange> none;
    const std::vector<TByteRange>& after = whole ? layout.DefaultAfter : none;
    size_t total = 8 + 25 + 12;
    for (const auto* list : {&before, &after})
        for (const TByteRange& r : *list) total += r.Length;
    for (const TByteRange& r : data) total += r.Length + 12;
    std::vector<uint8_t> out(std::begin(PngSignature), std::end(PngSignature));
    out.reserve(total);
    uint8_t header[13];
    std::memcpy(header, bytes + layout.Header.Offset, 13);
    if (frame != DefaultImage) {
        PutBe32(header, layout.Frames[frame].Control.Width);
        PutBe32(header + 4, layout.Frames[frame].Control.Height);
    }
    AppendChunk(out, chunk::IHDR, header, 13);
    const auto copy = [&](const std::vector<TByteRange>& chunks) {
        for (const TByteRange& r : chunks) {
            const size_t at = out.size();
            out.resize(at + r.Length);
            std::memcpy(&out[at], bytes + r.Offset, r.Length);
        }
    };
    copy(before);
    for (const TByteRange& r : data) AppendChunk(out, chunk::IDAT, bytes + r.Offset, r.Length);
    copy(after);
    AppendChunk(out, chunk::IEND, nullptr, 0);
    return out;
}

bool SamePngLayout(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    try {
        return LayoutKey(a, ChunksOf(a, "")) == LayoutKey(b, ChunksOf(b, ""));
    } catch (const EInvalidGraphic&) {
        return false;
    }
}

void WriteApng(TStream& stream, const std::vector<TApngWriteFrame>& frames, uint32_t plays,
               const std::vector<uint8_t>* hiddenDefault)
{
    const auto bad = [](const std::string& cause) { throw EInvalidGraphic("cannot write the animated PNG: " + cause); };
    if (frames.empty()) bad("it has no frames");
    if (frames.size() > 0x7FFFFFFF / 2) bad("too many frames");
    const std::vector<uint8_t>& base = hiddenDefault ? *hiddenDefault : frames[0].Png;
    const std::vector<TChunkAt> baseChunks = ChunksOf(base, "the default image");
    const std::vector<uint8_t> key = LayoutKey(base, baseChunks);
    const uint32_t width = Be32(&base[16]), height = Be32(&base[20]);
    std::vector<std::vector<TChunkAt>> frameChunks(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const std::string name = "frame " + std::to_string(i + 1);
        const TApngFrameControl& c = frames[i].Control;
        frameChunks[i] = ChunksOf(frames[i].Png, name.c_str());
        if (LayoutKey(frames[i].Png, frameChunks[i]) != key)
            bad(name + " differs from the default image in bit depth, colour type, interlace, palette or transparency");
        if (Be32(&frames[i].Png[16]) != c.Width || Be32(&frames[i].Png[20]) != c.Height)
            bad(name + "'s picture is not the size of its rectangle");
        if (c.Width == 0 || c.Height == 0 || uint64_t{c.X} + c.Width > width || uint64_t{c.Y} + c.Height > height)
            bad(name + "'s rectangle of " + Size(c.Width, c.Height) + " at " + std::to_string(c.X) + "," +
                std::to_string(c.Y) + " lies outside the " + Size(width, height) + " canvas");
        if (c.DisposeOp > 2 || c.BlendOp > 1) bad(name + " has an unknown dispose or blend op");
    }

    stream.WriteBuffer(PngSignature, 8);
    const auto copy = [&](const std::vector<uint8_t>& png, const TChunkAt& c) {
        stream.WriteBuffer(&png[c.Start], static_cast<int64_t>(c.Length + 12));
    };
    copy(base, baseChunks[0]);
    uint8_t actl[8];
    PutBe32(actl, static_cast<uint32_t>(frames.size()));
    PutBe32(actl + 4, plays);
    WriteChunk(stream, chunk::acTL, nullptr, 0, actl, 8);
    uint32_t sequence = 0;
    const auto control = [&](const TApngFrameControl& c) {
        const std::vector<uint8_t> b = FrameControlBytes(sequence++, c);
        WriteChunk(stream, chunk::fcTL, nullptr, 0, b.data(), b.size());
    };
    size_t i = 1;
    while (i < baseChunks.size() && baseChunks[i].Type != chunk::IDAT) copy(base, baseChunks[i++]);
    if (!hiddenDefault) control(frames[0].Control);
    while (i < baseChunks.size() && baseChunks[i].Type == chunk::IDAT) copy(base, baseChunks[i++]);
    for (size_t f = hiddenDefault ? 0 : 1; f < frames.size(); ++f) {
        control(frames[f].Control);
        for (const TChunkAt& c : frameChunks[f]) {
            if (c.Type != chunk::IDAT) continue;
            // An fdAT is four bytes longer than its IDAT: a long IDAT goes in pieces.
            size_t done = 0;
            do {
                const size_t n = std::min<size_t>(c.Length - done, size_t{1} << 30);
                uint8_t number[4];
                PutBe32(number, sequence++);
                WriteChunk(stream, chunk::fdAT, number, 4, &frames[f].Png[c.Data() + done], n);
                done += n;
            } while (done < c.Length);
        }
    }
    for (; i < baseChunks.size(); ++i)
        if (baseChunks[i].Type != chunk::IEND && baseChunks[i].Type != chunk::IDAT) copy(base, baseChunks[i]);
    WriteChunk(stream, chunk::IEND, nullptr, 0, nullptr, 0);
}

} // namespace tintabrel
