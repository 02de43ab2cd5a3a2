#include "header_checks.h"

#include <OpenImageIO/strutil.h>
#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include "cli_error.h"
#include "dpx_header.h"
#include "image.h"

namespace telvix::cli {

namespace fs = std::filesystem;

std::string pageName(const fs::path& path, std::size_t page, std::size_t pages)
{
    return page == 0 ? fmt::format("'{}'", path.string())
                     : fmt::format("'{}' page {} of {}", path.string(), page + 1, pages);
}

std::uint64_t checkInputFile(const fs::path& path)
{
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        throw CliError(fmt::format("cannot read '{}': no such file", path.string()));
    }
    if (fs::is_directory(path, ec)) {
        throw CliError(fmt::format("cannot read '{}': it is a folder", path.string()));
    }
    if (!fs::is_regular_file(path, ec)) {
        throw CliError(fmt::format("cannot read '{}': it is not a regular file", path.string()));
    }
    const std::uint64_t fileBytes = fs::file_size(path, ec);
    if (ec || fileBytes == 0) {
        throw CliError(fmt::format("cannot read '{}': the file is empty", path.string()));
    }
    return fileBytes;
}

void checkPngChunks(const fs::path& path, std::uint64_t fileBytes)
{
    std::ifstream file(path, std::ios::binary);
    unsigned char header[8];
    if (!file.read(reinterpret_cast<char*>(header), 8)) return;
    static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (std::memcmp(header, kSignature, 8) != 0) return;
    std::uint64_t at = 8;
    while (at + 8 <= fileBytes) {
        file.seekg(static_cast<std::streamoff>(at));
        if (!file.read(reinterpret_cast<char*>(header), 8)) return;
        const std::uint64_t length = std::uint64_t{header[0]} << 24 |
                                     std::uint64_t{header[1]} << 16 |
                                     std::uint64_t{header[2]} << 8 | header[3];
        const std::string type(reinterpret_cast<const char*>(header + 4), 4);
        // Length, type, data and checksum.
        if (at + 12 + length > fileBytes) {
            throw CliError(fmt::format(
                "cannot read '{}': its {} chunk claims {} bytes but the file ends {} bytes on",
                path.string(), oneLine(type), length, fileBytes - std::min(fileBytes, at + 8)));
        }
        if (type == "IEND") return;
        at += 12 + length;
    }
}

void checkLayout(const std::string& quoted, const OIIO::ImageSpec& spec)
{
    if (spec.deep)
        throw CliError(fmt::format("{} is a deep image, which is not supported", quoted));
    if (spec.nchannels < 1 || spec.nchannels > 4) {
        throw CliError(
            fmt::format("{} has {} channels; only grey, grey+alpha, RGB and RGBA "
                        "images are supported",
                        quoted, spec.nchannels));
    }
    const bool alphaExpected = spec.nchannels == 2 || spec.nchannels == 4;
    const int expectedAlpha = alphaExpected ? spec.nchannels - 1 : -1;
    if (spec.alpha_channel != expectedAlpha) {
        throw CliError(
            fmt::format("{} has {} channels with alpha in channel {}; only grey, "
                        "grey+alpha, RGB and RGBA images are supported",
                        quoted, spec.nchannels, spec.alpha_channel));
    }
    if (spec.width <= 0 || spec.height <= 0 || spec.depth > 1) {
        throw CliError(fmt::format("{} has an unsupported size {}x{}x{}", quoted, spec.width,
                                   spec.height, spec.depth));
    }
    // The host's worlds address rows with 32-bit byte counts of up to 8 bytes per pixel.
    if (spec.width > INT_MAX / 8) {
        throw CliError(
            fmt::format("{} is {} pixels wide; frames wider than {} pixels are not "
                        "supported",
                        quoted, spec.width, INT_MAX / 8));
    }
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(spec.width) * static_cast<std::uint64_t>(spec.height);
    if (pixels > kMaxFramePixels) {
        throw CliError(
            fmt::format("{} is {}x{} pixels; frames of more than {} pixels "
                        "(e.g. 32768x32768) are not supported",
                        quoted, spec.width, spec.height, kMaxFramePixels));
    }
}

namespace {

// How many times its pixels' size a format can shrink them at the most, for the formats where
// that is known (deflate reaches about 1032:1, LZW about 1400:1, run lengths of 128 pixels a few
// hundred to one), with room to spare; 0 where it is not known.
std::uint64_t maxCompression(const std::string& format, const OIIO::ImageSpec& spec)
{
    if (format == "png" || format == "jpeg") return 2048;
    if (format == "targa") return 512;
    if (format == "dpx") return 2;
    if (format == "tiff") {
        const std::string method = OIIO::Strutil::lower(spec.get_string_attribute("compression"));
        if (method.empty() || method == "none") return 2;
        if (method == "packbits") return 256;
        if (method == "lzw") return 4096;
        if (method == "zip" || method == "deflate" || method == "adobe_deflate" ||
            method == "jpeg") {
            return 2048;
        }
    }
    return 0;
}

// Bytes of the pixels a page's header claims, at the bits per sample it stores.
std::uint64_t claimedBytes(const OIIO::ImageSpec& spec)
{
    const int bits = std::max(
        1, spec.get_int_attribute("oiio:BitsPerSample", static_cast<int>(spec.format.size()) * 8));
    return static_cast<std::uint64_t>(spec.width) * static_cast<std::uint64_t>(spec.height) *
           static_cast<std::uint64_t>(spec.nchannels) * static_cast<std::uint64_t>(bits) / 8;
}

// A megabyte of room for headers and the smallest files.
constexpr std::uint64_t kClaimRoomBytes = std::uint64_t{1} << 20;

}  // namespace

void checkClaimedSizes(const fs::path& path, const std::string& format,
                       const std::vector<OIIO::ImageSpec>& specs, std::uint64_t fileBytes)
{
    std::uint64_t leastBytes = 0;
    for (std::size_t page = 0; page < specs.size(); ++page) {
        const OIIO::ImageSpec& spec = specs[page];
        const std::uint64_t ratio = maxCompression(format, spec);
        if (ratio == 0) continue;
        const std::uint64_t pixelBytes = claimedBytes(spec);
        if (pixelBytes > fileBytes * ratio + kClaimRoomBytes) {
            const std::string quoted = pageName(path, page, specs.size());
            throw CliError(
                fmt::format("cannot read {}: its header claims {}x{} pixels ({:.1f} GB), more than "
                            "its {} bytes can hold; the file is damaged",
                            quoted, spec.width, spec.height, gigabytes(pixelBytes), fileBytes));
        }
        leastBytes += pixelBytes / ratio;
    }
    if (specs.size() > 1 && leastBytes > fileBytes + kClaimRoomBytes) {
        std::uint64_t pixelBytes = 0;
        for (const OIIO::ImageSpec& spec : specs) pixelBytes += claimedBytes(spec);
        throw CliError(
            fmt::format("cannot read '{}': its {} pages claim {:.1f} GB of pixels in all, more "
                        "than its {} bytes can hold; the file is damaged",
                        path.string(), specs.size(), gigabytes(pixelBytes), fileBytes));
    }
}

// The header states the file's length (bytes 16-19, in the byte order its magic number gives)
// and where the image data starts (bytes 4-7); the data takes at least its samples' bits, packed
// with each row ending on a 32-bit word. A file shorter than either is refused. (Some writers
// state too small a length, never too large a one.)
void checkDpxLength(const fs::path& path, const OIIO::ImageSpec& spec)
{
    // A file that cannot be opened or is no DPX is the reader's to report.
    const std::optional<DpxHeader> header = readDpxHeader(path);
    if (!header) return;
    const std::uint64_t bits = static_cast<std::uint64_t>(
        spec.get_int_attribute("oiio:BitsPerSample", 8 * static_cast<int>(spec.format.size())));
    const std::uint64_t rowBits =
        static_cast<std::uint64_t>(spec.width) * static_cast<std::uint64_t>(spec.nchannels) * bits;
    const std::uint64_t data = std::uint64_t{header->imageOffset} +
                               static_cast<std::uint64_t>(spec.height) * ((rowBits + 31) / 32 * 4);
    const std::uint64_t stated = std::max(std::uint64_t{header->fileSize}, data);
    std::error_code ec;
    const std::uintmax_t actual = fs::file_size(path, ec);
    if (!ec && stated > actual) {
        throw CliError(
            fmt::format("cannot read '{}': the file is cut short: its header calls "
                        "for at least {} bytes, it has {}",
                        path.string(), stated, actual));
    }
}

}  // namespace telvix::cli
