#include "dpx_header.h"

#include <array>
#include <fstream>

namespace telvix::cli {
namespace {

// Byte positions in a DPX header: the generic part, then the first image element.
constexpr std::size_t kImageOffsetAt = 4;
constexpr std::size_t kFileSizeAt = 16;
constexpr std::size_t kGenericBytes = kFileSizeAt + 4;
constexpr std::size_t kElementAt = 780;
constexpr std::size_t kDescriptorAt = kElementAt + 20;
constexpr std::size_t kBitSizeAt = kElementAt + 23;
constexpr std::size_t kPackingAt = kElementAt + 24;
constexpr std::size_t kEncodingAt = kElementAt + 26;
constexpr std::size_t kDataOffsetAt = kElementAt + 28;
constexpr std::size_t kEndOfLinePaddingAt = kElementAt + 32;
constexpr std::size_t kHeaderBytes = kEndOfLinePaddingAt + 4;

}  // namespace

std::uint32_t DpxHeader::word(const std::uint8_t* bytes) const
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | bytes[bigEndian ? i : 3 - i];
    return value;
}

std::optional<DpxHeader> readDpxHeader(const std::filesystem::path& path)
{
    std::array<std::uint8_t, kHeaderBytes> bytes{};
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char*>(bytes.data()), bytes.size());
    const auto read = static_cast<std::size_t>(file.gcount());
    if (read < kGenericBytes) return std::nullopt;
    DpxHeader header;
    const auto magic = [&](const char* text) {
        return std::equal(bytes.begin(), bytes.begin() + 4, text);
    };
    if (magic("XPDS")) {
        header.bigEndian = false;
    } else if (!magic("SDPX")) {
        return std::nullopt;
    }
    header.imageOffset = header.word(&bytes[kImageOffsetAt]);
    header.fileSize = header.word(&bytes[kFileSizeAt]);
    header.hasElement = read == kHeaderBytes;
    if (header.hasElement) {
        const auto half = [&](std::size_t at) {
            return header.bigEndian ? bytes[at] << 8 | bytes[at + 1]
                                    : bytes[at + 1] << 8 | bytes[at];
        };
        header.descriptor = bytes[kDescriptorAt];
        header.bitSize = bytes[kBitSizeAt];
        header.packing = half(kPackingAt);
        header.encoding = half(kEncodingAt);
        header.dataOffset = header.word(&bytes[kDataOffsetAt]);
        header.endOfLinePadding = header.word(&bytes[kEndOfLinePaddingAt]);
    }
    return header;
}

}  // namespace telvix::cli
