#include "dpx_row_end.h"

#include <array>
#include <fstream>

namespace telvix::cli {

namespace {

constexpr std::uint32_t kUndefined32 = 0xFFFFFFFFu;

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

    const std::optional<DpxHeader> header = readDpxHeader(path);
    if (!header || !header->hasElement) return std::nullopt;
    // Filled method A leaves its two unused bits at the bottom of each word, method B at the top.
    const int packing = header->packing;
    if (header->bitSize != 10 || (packing != 1 && packing != 2) || header->encoding != 0) {
        return std::nullopt;
    }
    if (!passedThrough(header->descriptor)) return std::nullopt;

    std::uint32_t offset = header->dataOffset;
    if (offset == 0 || offset == kUndefined32) offset = header->imageOffset;
    std::uint32_t padding = header->endOfLinePadding;
    if (padding == kUndefined32) padding = 0;

    DpxRowEnds ends;
    ends.path_ = path;
    ends.dataOffset_ = offset;
    ends.rowSamples_ = rowSamples;
    ends.lastWord_ = (rowSamples - 1) / 3 * 4;
    ends.rowBytes_ = ends.lastWord_ + 4 + padding;
    ends.header_ = *header;
    // The last sample is the first of its word, which is packed from the top down.
    ends.shift_ = 20 + (packing == 1 ? 2 : 0);
    return ends;
}

bool DpxRowEnds::repair(int first, int rows, std::uint16_t* samples)
{
    // Opened at the first strip and kept open for the rest of the page.
    if (!file_.is_open()) file_.open(path_, std::ios::binary);
    for (int row = 0; row < rows; ++row) {
        const std::uint64_t at =
            dataOffset_ + static_cast<std::uint64_t>(first + row) * rowBytes_ + lastWord_;
        std::array<std::uint8_t, 4> bytes{};
        if (!file_.seekg(static_cast<std::streamoff>(at)) ||
            !file_.read(reinterpret_cast<char*>(bytes.data()), bytes.size())) {
            return false;
        }
        const std::uint32_t value = header_.word(bytes.data()) >> shift_ & 0x3FFu;
        // 10 bits widened to 16 as OpenImageIO widens the row's other samples.
        samples[static_cast<std::size_t>(row) * rowSamples_ + rowSamples_ - 1] =
            static_cast<std::uint16_t>(value << 6 | value >> 4);
    }
    return true;
}

}  // namespace telvix::cli
