// What an output file's format takes: the --compression values it accepts, and the layout a
// page is written in (channels, sample type) so that nothing is lost, decided before any work.
#pragma once

#include <OpenImageIO/imageio.h>

#include <filesystem>
#include <string>

#include "image.h"

namespace telvix::cli {

// How an image is encoded, beyond what the image itself says.
struct WriteOptions {
    // The format's compression: a number is PNG's compression level (0-9); any other text is
    // OpenImageIO's "compression" setting (TIFF "lzw", "zip", "none"; "rle" ...). Empty: the
    // input's setting, if any, else the format's default.
    std::string compression;
    // Alpha may be dropped where the output format cannot hold it (--drop-alpha); otherwise such
    // an output is refused.
    bool dropAlpha = false;
    // The colour key is on: an image without alpha is written with one, so that the keyed
    // pixels stay transparent.
    bool keyed = false;
};

// Checks a --compression value against the format `path`'s extension names (PNG level 0-9,
// TIFF none/lzw/zip/deflate/packbits or a zip level 1-9, JPEG quality 1-100, EXR method names,
// a method name for other formats). Throws UsageError naming what the format takes.
void checkCompression(const std::filesystem::path& path, const std::string& compression);

// Checks a --compression value against the output's format (OpenImageIO's name, `format`) and
// applies it to its ImageSpec (when `spec` is given). Throws UsageError naming what the format
// accepts.
void applyCompression(OIIO::ImageSpec* spec, const std::filesystem::path& path,
                      const std::string& format, const std::string& compression);

// What an output file will hold: its channels (1-4, alpha last when 2 or 4) and the type of its
// samples (8 or 16-bit integers, 10 or 12-bit ones stored in 16-bit values when `bitsPerSample`
// says so, or half or float).
struct OutputLayout {
    int channels = 0;
    OIIO::TypeDesc type;
    int bitsPerSample = 0;  // 10 or 12: the integers are written with that many bits
    // Colour is written multiplied by alpha: OpenEXR's convention, and TIFF's for an image read
    // from a file that held associated alpha. Straight everywhere else.
    bool associated = false;
};

// Decides, from the output's format alone and before any work, how a page described by
// `description` (its channels as read, one more when `options.keyed` adds alpha; samples given
// at `bits`; the file's stored type and page count) is written to `path`: grey becomes RGB and
// grey + alpha RGBA where the format has no grey (+ alpha); 10 and 12-bit samples keep their
// bits where the format holds them (DPX, TIFF), else 16; half and float stay so where the
// format holds them (OpenEXR, TIFF), else 16 bits; in a floating-point-only format 8-bit becomes
// half and 16-bit float. Throws CliError, naming what would keep the image, where something
// would be lost: alpha the format cannot hold (unless `options.dropAlpha`), 16 bits in an
// 8-bit format, or pages in a format of single images.
OutputLayout planOutputLayout(const std::filesystem::path& path, const Image& description,
                              const WriteOptions& options);

}  // namespace telvix::cli
