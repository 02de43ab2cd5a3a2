#include "dpx_row_end.h"

#include <array>
#include <fstream>

namespace telvix::cli {

namespace {

// Byte positions in a DPX header: the generic part, then the first image element.
constexpr std::size_t kImageOffsetAt = 4;
constexpr std::size_t kElementAt = 780;
constexpr std::size_t kDescriptorAt = kElementAt + 20;
constexpr std::size_t kBitSizeAt = kElementAt + 23;
constexpr std::size_t kPackingAt = kElementAt + 24;
constexpr std::size_t kEncodingAt = kElementAt + 26;
constexpr std::size_t kDataOffsetAt = kElementAt + 28;
constexpr std::size_t kEndOfLinePaddingAt = kElementAt + 32;
constexpr std::size_t kHeaderBytes = kEndOfLinePaddingAt + 4;

constexpr std::uint32_t kUndefined32 = 0xFFFFFFFFu;

std::uint32_t word(const std::uint8_t* at, bool bigEndian)
{
    if (bigEndian) {
        return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
               std::uint32_t{at[3]};
    }
    return std::uint32_t{at[3]} << 24 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[1]} << 8 |
           std::uint32_t{at[0]};
}

std::uint16_t half(const std::uint8_t* at, bool bigEndian)
{
    return static_cast<std::uint16_t>(bigEndian ? at[0] << 8 | at[1] : at[1] << 8 | at[0]);
}

// Descriptors whose samples OpenImageIO hands on in the file's order, one element holding
// every channel: a single channel (red, green, blue, alpha, luma) and RGBA. RGB rows hold 3n
// samples and never lose one.
bool passedThrough(int descriptor)
{
    return (descriptor >= 1 && descriptor <= 4) || descriptor == 6 || descriptor == 51;
}

}  // namespace

std::optional<DpxRowEnds> DpxRowEnds::find(const std::filesystem::path& path,
                                           std::string_view formatName, const OIIO::ImageSpec& spec)
{
    if (formatName != "dpx" || spec.width <= 0 || spec.nchannels <= 0) return std::nullopt;
    const std::size_t rowSamples =
        static_cast<std::size_t>(spec.width) * static_cast<std::size_t>(spec.nchannels);
    if (rowSamples % 3 != 1) return std::nullopt;

    std::array<std::uint8_t, kHeaderBytes> header{};
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(header.data()), header.size())) return std::nullopt;
    const bool bigEndian =
        header[0] == 'S' && header[1] == 'D' && header[2] == 'P' && header[3] == 'X';
    const bool littleEndian =
        header[0] == 'X' && header[1] == 'P' && header[2] == 'D' && header[3] == 'S';
    if (!bigEndian && !littleEndian) return std::nullopt;
    const int descriptor = header[kDescriptorAt];
    const int bits = header[kBitSizeAt];
    const int packing = half(&header[kPackingAt], bigEndian);
    const int encoding = half(&header[kEncodingAt], bigEndian);
    // Filled method A leaves its two unused bits at the bottom of each word, method B at the top.
    if (bits != 10 || (packing != 1 && packing != 2) || encoding != 0) return std::nullopt;
    if (!passedThrough(descriptor)) return std::nullopt;

    std::uint32_t offset = word(&header[kDataOffsetAt], bigEndian);
    if (offset == 0 || offset == kUndefined32) offset = word(&header[kImageOffsetAt], bigEndian);
    std::uint32_t padding = word(&header[kEndOfLinePaddingAt], bigEndian);
    if (padding == kUndefined32) padding = 0;

    DpxRowEnds ends;
    ends.path_ = path;
    ends.dataOffset_ = offset;
    ends.rowSamples_ = rowSamples;
    ends.lastWord_ = (rowSamples - 1) / 3 * 4;
    ends.rowBytes_ = ends.lastWord_ + 4 + padding;
    ends.bigEndian_ = bigEndian;
    // The last sample is the first of its word, which is packed from the top down.
    ends.shift_ = 20 + (packing == 1 ? 2 : 0);
    return ends;
}

bool DpxRowEnds::repair(int first, int rows, std::uint16_t* samples) const
{
    std::ifstream file(path_, std::ios::binary);
    for (int row = 0; row < rows; ++row) {
        const std::uint64_t at =
            dataOffset_ + static_cast<std::uint64_t>(first + row) * rowBytes_ + lastWord_;
        std::array<std::uint8_t, 4> bytes{};
        if (!file.seekg(static_cast<std::streamoff>(at)) ||
            !file.read(reinterpret_cast<char*>(bytes.data()), bytes.size())) {
            return false;
        }
        const std::uint32_t value = word(bytes.data(), bigEndian_) >> shift_ & 0x3FFu;
        // 10 bits widened to 16 as OpenImageIO widens the row's other samples.
        samples[static_cast<std::size_t>(row) * rowSamples_ + rowSamples_ - 1] =
            static_cast<std::uint16_t>(value << 6 | value >> 4);
    }
    return true;
}

}  // namespace telvix::cli
