// Reading image files with OpenImageIO, every page, keeping samples exactly as stored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "image.h"

namespace telvix::cli {

// How files are read.
struct ReadOptions {
    // Floating-point samples are processed at this depth (8 or 16), at 16 when it is 0. Samples
    // of other types (32-bit integers, mixed types) are converted to it, and refused when it is 0.
    int otherFormatsAs = 0;
    // Floating-point samples outside 0-1 are clipped (and counted in Image::clipped) instead of
    // the file being refused.
    bool clip = false;
};

// Reads the headers of every page of `path` with every check readPagesRows makes before taking
// pixel memory, and describes the pages as readPagesRows would (no samples).
std::vector<Image> readPageHeaders(const std::filesystem::path& path,
                                   const ReadOptions& options = {});

// Rows [first, first + rows) of a page being read: width * channels samples per row, channels
// interleaved, as the file holds them (associated alpha stays associated): integers at the
// page's bits in `ints`, or, for a floating-point page, its floats as stored (not clipped) in
// `floats`.
struct ReadStrip {
    const std::uint16_t* ints = nullptr;
    const float* floats = nullptr;
};

// Receives the strips of page `page` of an image being read.
using RowSink = std::function<void(int page, int first, int rows, const ReadStrip& strip)>;

// Reads every page of `path` without premultiplying alpha, handing its pixels to `sink` a strip
// of rows at a time, page after page, instead of keeping them; returns the pages' descriptions
// (without samples). `begin` gets them all before any pixel is read, to check them and make room
// for the rows. 8 and 16-bit files keep their depth, 10 and 12-bit ones are read as 16-bit
// (c * 65535 / (2^bits - 1), as OpenImageIO widens them), floating point as floats (their pages'
// bits, 16 or as `options` says, are the depth they are processed at).
// Throws CliError naming the file on a missing or unreadable file, a file that is not an image,
// a layout other than grey, grey + alpha, RGB and RGBA, a size beyond kMaxFramePixels or with
// rows of more than 2^31 - 1 bytes at 16 bits, and floating-point samples outside 0-1 (with
// their count) unless `options.clip`.
std::vector<Image> readPagesRows(const std::filesystem::path& path, const ReadOptions& options,
                                 const std::function<void(const std::vector<Image>&)>& begin,
                                 const RowSink& sink);

// True when `path` is an image that reads back whole: its header and every pixel of every page.
// An output cut short (a run killed while another tool wrote it, a full disk) is not complete.
bool isCompleteImage(const std::filesystem::path& path);

// The first page of `path` as readPagesRows reads it, with its samples: straight, floats
// clipped to 0-1 and rounded to the page's bits.
Image readImage(const std::filesystem::path& path, int otherFormatsAs = 0, bool clip = false);

}  // namespace telvix::cli
