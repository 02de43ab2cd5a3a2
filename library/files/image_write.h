// Writing image files with OpenImageIO, every page, through a temporary file that replaces the
// output only once it is whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "image.h"
#include "output_format.h"

namespace telvix::cli {

// Writes `image` to `path` in the format its extension names, at the image's depth and channel
// count, alpha in the format's convention (associated in OpenEXR, and in TIFF for an image read
// from a file that held it so; straight elsewhere). The data goes to a temporary file in the same
// folder that is renamed over `path` only once complete, so a failure leaves neither a partial file
// nor a changed `path`. Throws CliError when the format cannot hold the image exactly or on any I/O
// failure.
void writeImageReplacing(const std::filesystem::path& path, const Image& image,
                         const WriteOptions& options = {});

// Rows [first, first + rows) of a page being written, to be filled with width * channels samples
// per row (the page description's channels): integers of the description's bits in `ints`, or,
// for a floating-point output, floats in `floats`; colour multiplied by alpha when `associated`.
struct WriteStrip {
    std::uint16_t* ints = nullptr;
    float* floats = nullptr;
    bool associated = false;
};

// Fills a strip of an image being written.
using RowSource = std::function<void(int first, int rows, const WriteStrip& strip)>;

// One page of a file being written: its description (size, channels, bits, stored type, colour
// space, metadata; its samples are not used) and the source of its rows.
struct PageSource {
    Image description;
    RowSource source;
};

// Writes as writeImageReplacing does the pages `pages` (several only into a format that holds
// pages: TIFF), whose rows their sources supply a strip at a time, so that no second copy of a
// whole image is needed. An existing `path` that is not a regular file (a folder, a device such
// as /dev/full, a pipe) is refused, never replaced.
void writePagesReplacing(const std::filesystem::path& path, const std::vector<PageSource>& pages,
                         const WriteOptions& options = {});

}  // namespace telvix::cli
