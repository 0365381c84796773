#include "png/VRQPNGReadStream.h"

#include <zlib.h>

namespace tintabrel {

enum class TVRQPNGReadStream::Conversion { None };

struct TVRQPNGReadStream::Inflater {
    z_stream stream{};
};

TVRQPNGReadStream::TVRQPNGReadStream() { AlphaTable.fill(255); }

TVRQPNGReadStream::~TVRQPNGReadStream() = default;

void TVRQPNGReadStream::ReadImage() { throw EVRQPNG(pngmsg::NotPNG); }

void TVRQPNGReadStream::CreateBitmap() { TVRQCustomGraphicReadStream::CreateBitmap(); }

} // namespace tintabrel
