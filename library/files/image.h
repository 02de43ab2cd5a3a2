// An image as a file holds it, and what the readers and writers of files share.
#pragma once

#include <OpenImageIO/paramlist.h>
#include <OpenImageIO/typedesc.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telvix::cli {

// An image as a file holds it: 1 (grey), 2 (grey + alpha), 3 (RGB) or 4 (RGBA) channels of
// 8 or 16 bits, row-major with channels interleaved. Alpha, when present, is the last channel
// and these samples are straight (colour not multiplied by it), whatever the file holds.
struct Image {
    int width = 0;
    int height = 0;
    int channels = 0;
    int bits = 8;                        // 8 (samples 0-255) or 16 (samples 0-65535)
    std::vector<std::uint16_t> samples;  // width * height * channels values
    // How the file stores its samples, kept by an output whose format holds it: unsigned
    // integers of `storedBits` (8, 10, 12 or 16; 10 and 12-bit files are processed at 16), or
    // floating point when `storedType` is HALF or FLOAT (processed at 16, 0-1 as 0-65535).
    int storedBits = 8;
    OIIO::TypeDesc storedType = OIIO::TypeDesc::UINT8;
    // The file's pages (subimages): each is an image of its own, smoothed as a frame.
    int pages = 1;
    // Floating-point samples outside 0-1 (NaN and infinities too) clipped while reading.
    std::uint64_t clipped = 0;
    // The file holds associated alpha (colour multiplied by it: OpenEXR, TIFF tagged so); an
    // output whose format can hold either (TIFF) is written so too.
    bool associatedAlpha = false;
    std::string colorSpace;  // the file's declared colour space, carried to output
    // The file's other metadata (resolution, colour profile, dates, format settings such as its
    // compression), written back with the image; layout-describing entries are left out.
    OIIO::ParamValueList metadata;

    bool hasAlpha() const { return channels == 2 || channels == 4; }
    bool floatingPoint() const
    {
        return storedType == OIIO::TypeDesc::HALF || storedType == OIIO::TypeDesc::FLOAT;
    }
    std::size_t index(int x, int y, int c) const
    {
        return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)) *
                   static_cast<std::size_t>(channels) +
               static_cast<std::size_t>(c);
    }
    std::uint16_t& at(int x, int y, int c) { return samples[index(x, y, c)]; }
    std::uint16_t at(int x, int y, int c) const { return samples[index(x, y, c)]; }
};

// True when a page's samples as read must be kept beside its host world of `worldBits` so that
// those the render leaves unchanged are written back exactly: all but 8-bit straight samples in
// an 8-bit world, which holds them as they are.
inline bool keepsOriginal(const Image& page, int worldBits)
{
    return page.floatingPoint() || page.bits != 8 || worldBits != 8 || page.associatedAlpha;
}

// Bytes of a page's samples as read when they are kept (keepsOriginal): 4 per float sample, 2
// per integer one.
inline std::uint64_t originalBytes(const Image& page, int worldBits)
{
    if (!keepsOriginal(page, worldBits)) return 0;
    return static_cast<std::uint64_t>(page.width) * static_cast<std::uint64_t>(page.height) *
           static_cast<std::uint64_t>(page.channels) * (page.floatingPoint() ? 4u : 2u);
}

// The largest frame accepted, in pixels (e.g. 32768 x 32768). A 16-bit host world of that size
// takes 8 GiB and a render needs three; anything larger is far beyond any animation frame and is
// more likely a damaged or hostile header than a picture.
inline constexpr std::uint64_t kMaxFramePixels = std::uint64_t{1} << 30;

// How a user names a layout of `channels` channels: grey, grey+alpha, RGB or RGBA.
const char* layoutName(int channels);

// Rows per strip when an image is read or written a strip at a time: about 4 MiB of samples.
int stripRows(int width, int channels, int height);

}  // namespace telvix::cli
