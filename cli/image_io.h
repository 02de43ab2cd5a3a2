// Reading and writing image files with OpenImageIO, keeping samples exactly as stored.
#pragma once

#include <OpenImageIO/paramlist.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace telvix::cli {

// An image as a file holds it: 1 (grey), 2 (grey + alpha), 3 (RGB) or 4 (RGBA) channels of
// 8 or 16 bits, row-major with channels interleaved. Alpha, when present, is the last channel
// and straight (colour not multiplied by it).
struct Image {
    int width = 0;
    int height = 0;
    int channels = 0;
    int bits = 8;                        // 8 (samples 0-255) or 16 (samples 0-65535)
    std::vector<std::uint16_t> samples;  // width * height * channels values
    std::string colorSpace;              // the file's declared colour space, carried to output
    // The file's other metadata (resolution, colour profile, dates, format settings such as its
    // compression), written back with the image; layout-describing entries are left out.
    OIIO::ParamValueList metadata;

    bool hasAlpha() const { return channels == 2 || channels == 4; }
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

// Reads the first subimage of `path` without premultiplying alpha. Files of 8 or 16 bits per
// sample keep their depth. Files of any other sample type (float, half, 32-bit integers) are
// converted to `otherFormatsAs` bits (8 or 16) when it is given, and refused when it is 0.
// Throws CliError naming the file on a missing or unreadable file, a file that is not an image,
// or a layout other than grey, grey + alpha, RGB and RGBA.
Image readImage(const std::filesystem::path& path, int otherFormatsAs = 0);

// How an image is encoded, beyond what the image itself says.
struct WriteOptions {
    // The format's compression: a number is PNG's compression level (0-9); any other text is
    // OpenImageIO's "compression" setting (TIFF "lzw", "zip", "none"; "rle" ...). Empty: the
    // input's setting, if any, else the format's default.
    std::string compression;
};

// Writes `image` to `path` in the format its extension names, at the image's depth and channel
// count, alpha left unassociated. The data goes to a temporary file in the same folder that is
// renamed over `path` only once complete, so a failure leaves neither a partial file nor a
// changed `path`. Throws CliError when the format cannot hold the image exactly or on any I/O
// failure.
void writeImageReplacing(const std::filesystem::path& path, const Image& image,
                         const WriteOptions& options = {});

}  // namespace telvix::cli
