#include "output_format.h"

#include <fmt/format.h>

#include <cstdlib>
#include <initializer_list>

#include "cli_error.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;

// A decimal number of at most three digits in [low, high], else -1.
int smallNumber(const std::string& text, int low, int high)
{
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const int value = std::atoi(text.c_str());
    return value >= low && value <= high ? value : -1;
}

}  // namespace

void applyCompression(OIIO::ImageSpec* spec, const fs::path& path, const std::string& format,
                      const std::string& compression)
{
    const auto refuse = [&](const char* accepted) {
        throw UsageError(
            fmt::format("cannot write '{}': --compression '{}' does not suit the {} "
                        "format, which takes {}",
                        path.string(), compression, format, accepted));
    };
    const auto isOneOf = [&](std::initializer_list<const char*> names) {
        for (const char* name : names) {
            if (compression == name) return true;
        }
        return false;
    };
    if (format == "png") {
        const int level = smallNumber(compression, 0, 9);
        if (level < 0) refuse("a level 0-9");
        if (spec != nullptr) spec->attribute("png:compressionLevel", level);
    } else if (format == "tiff") {
        const int level = smallNumber(compression, 1, 9);
        if (level < 0 && !isOneOf({"none", "lzw", "zip", "deflate", "packbits"}))
            refuse("none, lzw, zip, deflate, packbits or a zip level 1-9");
        if (spec != nullptr) {
            spec->attribute("compression", level > 0 ? "zip:" + compression : compression);
        }
    } else if (format == "jpeg") {
        const int quality = smallNumber(compression, 1, 100);
        if (quality < 0) refuse("a quality 1-100");
        if (spec != nullptr) spec->attribute("compression", "jpeg:" + std::to_string(quality));
    } else if (format == "openexr") {
        if (!isOneOf({"none", "rle", "zip", "zips", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"}))
            refuse("none, rle, zip, zips, piz, pxr24, b44, b44a, dwaa or dwab");
        if (spec != nullptr) spec->attribute("compression", compression);
    } else {
        // Other formats get the value as their method name; a bare number is refused rather
        // than guessed at.
        if (compression.empty() || compression.size() > 32 ||
            compression.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789:_") !=
                std::string::npos ||
            compression.find_first_not_of("0123456789") == std::string::npos)
            refuse("a method name");
        if (spec != nullptr) spec->attribute("compression", compression);
    }
}

namespace {

// What a format's writer holds, for the formats whose limits are known: the channel counts
// (bit n set: n channels) and whether it takes 16-bit integers, or floating point only.
struct FormatLimits {
    const char* name;      // OpenImageIO's format name
    const char* userName;  // as a user names it
    unsigned channelCounts;
    bool sixteenBits;
    bool floatingPoint;  // floating point only
    int floats;          // besides integers: 2 half and float, 1 float (half as float), 0 none
    bool tenTwelve;      // 10 and 12-bit integers
    bool pages;          // several pages in one file
};

constexpr unsigned kAnyChannels = 0b11110;
constexpr FormatLimits kFormatLimits[] = {
    {"png", "PNG", kAnyChannels, true, false, 0, false, false},
    {"tiff", "TIFF", kAnyChannels, true, false, 1, true, true},
    {"jpeg", "JPEG", 0b01010, false, false, 0, false, false},
    {"webp", "WebP", 0b11000, false, false, 0, false, false},
    {"bmp", "BMP", 0b11000, false, false, 0, false, false},
    {"targa", "TGA", 0b11010, false, false, 0, false, false},
    {"dpx", "DPX", 0b11010, true, false, 0, true, false},
    {"iff", "IFF", 0b11000, true, false, 0, false, false},
    {"openexr", "OpenEXR", kAnyChannels, false, true, 2, false, false},
    {"hdr", "HDR", 0b01000, false, true, 1, false, false},
};

const FormatLimits* limitsOf(const std::string& format)
{
    for (const FormatLimits& limits : kFormatLimits) {
        if (format == limits.name) return &limits;
    }
    return nullptr;
}

}  // namespace

void checkCompression(const fs::path& path, const std::string& compression)
{
    if (compression.empty()) return;
    auto output = OIIO::ImageOutput::create(path.string());
    if (output) applyCompression(nullptr, path, output->format_name(), compression);
}

OutputLayout planOutputLayout(const fs::path& path, const Image& description,
                              const WriteOptions& options)
{
    int channels = description.channels;
    const int bits = description.bits;
    const bool keyedAlpha = options.keyed && (channels == 1 || channels == 3);
    if (keyedAlpha) ++channels;
    auto output = OIIO::ImageOutput::create(path.string());
    if (!output) {
        throw CliError(fmt::format("cannot write '{}': {}", path.string(),
                                   oneLine(OIIO::geterror(), kNoReason)));
    }
    if (!options.compression.empty()) {
        applyCompression(nullptr, path, output->format_name(), options.compression);
    }
    const FormatLimits* limits = limitsOf(output->format_name());
    const bool holdsPages = limits != nullptr ? limits->pages
                                              : output->supports("multiimage") != 0 &&
                                                    output->supports("appendsubimage") != 0;
    if (description.pages > 1 && !holdsPages) {
        throw CliError(fmt::format(
            "cannot write '{}': the input has {} pages and the {} format holds one image; "
            "write TIFF to keep every page",
            path.string(), description.pages,
            limits != nullptr ? limits->userName : output->format_name()));
    }
    OutputLayout layout{channels, bits == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8};
    if (limits == nullptr) return layout;  // the writer's own check after opening decides

    const auto holds = [&](int n) { return (limits->channelCounts >> n & 1u) != 0; };
    const bool alpha = channels == 2 || channels == 4;
    const bool formatHasAlpha = holds(2) || holds(4);
    const bool losesAlpha = alpha && (!formatHasAlpha || output->supports("alpha") == 0);
    const bool keepsFloats = description.floatingPoint() && limits->floats > 0;
    const bool losesBits =
        bits == 16 && !limits->sixteenBits && !limits->floatingPoint && !keepsFloats;
    if (losesAlpha && losesBits && !options.dropAlpha) {
        throw CliError(
            fmt::format("cannot write '{}': the {} format holds neither alpha nor 16 "
                        "bits per channel; write PNG or TIFF to keep both, or add "
                        "--depth 8 --drop-alpha",
                        path.string(), limits->userName));
    }
    if (losesAlpha) {
        if (!options.dropAlpha) {
            throw CliError(fmt::format(
                "cannot write '{}': the {} format cannot hold alpha{}; write PNG, TIFF or EXR "
                "to keep it, or add --drop-alpha to drop it",
                path.string(), limits->userName,
                keyedAlpha ? " (the colour key makes pixels transparent)" : ""));
        }
        --channels;
    }
    if (!holds(channels)) {
        if (channels <= 2 && holds(channels + 2)) {
            channels += 2;  // grey written as RGB: nothing is lost
        } else {
            throw CliError(fmt::format("cannot write '{}': the {} format cannot hold {} images",
                                       path.string(), limits->userName, layoutName(channels)));
        }
    }
    layout.channels = channels;
    if (keepsFloats) {
        // Half and float stay as they were; float holds every half value where half is not
        // written (TIFF).
        layout.type = limits->floats == 1 ? OIIO::TypeDesc::FLOAT : description.storedType;
    } else if (limits->floatingPoint) {
        // Half holds every 8-bit value exactly, float every 16-bit one.
        layout.type =
            bits == 16 || limits->floats == 1 ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::HALF;
    } else if (losesBits) {
        throw CliError(
            fmt::format("cannot write '{}': the {} format holds 8 bits per channel "
                        "only; add --depth 8 to write 8 bits, or write {} to keep {}",
                        path.string(), limits->userName,
                        description.floatingPoint() ? "EXR or TIFF" : "PNG or TIFF",
                        description.floatingPoint() ? "floating point" : "16"));
    } else if (bits == 16 && !description.floatingPoint() && limits->tenTwelve &&
               (description.storedBits == 10 || description.storedBits == 12)) {
        layout.bitsPerSample = description.storedBits;
    }
    const bool alphaKept = channels == 2 || channels == 4;
    const std::string format = output->format_name();
    layout.associated =
        alphaKept && (format == "openexr" || (format == "tiff" && description.associatedAlpha));
    return layout;
}

}  // namespace telvix::cli
