// The few fields of a DPX file's header the command reads itself, in the byte order the file's
// magic number gives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace telvix::cli {

struct DpxHeader {
    bool bigEndian = true;
    std::uint32_t imageOffset = 0;  // where the image data starts (bytes 4-7)
    std::uint32_t fileSize = 0;     // the file's length as the header states it (bytes 16-19)
    // The first image element, when the header holds it whole.
    bool hasElement = false;
    int descriptor = 0;  // what the samples are: 50 RGB, 51 RGBA, 6 luma, ...
    int bitSize = 0;
    int packing = 0;   // 0 packed, 1 filled method A, 2 filled method B
    int encoding = 0;  // 0 none, 1 run-length
    std::uint32_t dataOffset = 0;
    std::uint32_t endOfLinePadding = 0;

    // One 32-bit word of the file, `bytes` read from it, in the header's byte order.
    std::uint32_t word(const std::uint8_t* bytes) const;
};

// Reads the header of `path`; nothing when the file cannot be read as far as the file size or
// does not start with DPX's magic number ("SDPX" big-endian, "XPDS" little-endian).
std::optional<DpxHeader> readDpxHeader(const std::filesystem::path& path);

}  // namespace telvix::cli
