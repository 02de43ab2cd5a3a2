#include "frame_dump.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace telvix::wintest {

namespace {

// Little-endian by hand, so the bytes do not depend on the machine writing them.
void putU32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8) {
        b.push_back(std::uint8_t(v >> shift));
    }
}

void putU16(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}

}  // namespace

bool writeFrameDump(const std::string& path, const standin::World& world, PF_Err renderResult)
{
    // Header: magic, format, size, depth and the render's result, so that a failed render on
    // one platform shows up as a difference too.
    std::vector<std::uint8_t> bytes = {'T', 'V', 'X', 'D'};
    putU32(bytes, 1);
    putU32(bytes, std::uint32_t(world.width()));
    putU32(bytes, std::uint32_t(world.height()));
    putU32(bytes, world.deep() ? 16 : 8);
    putU32(bytes, std::uint32_t(renderResult));
    // Pixels row by row, leaving out the row padding (which differs between cases and holds
    // nothing of the frame).
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) {
            if (world.deep()) {
                const PF_Pixel16& p = world.at<PF_Pixel16>(x, y);
                putU16(bytes, p.alpha);
                putU16(bytes, p.red);
                putU16(bytes, p.green);
                putU16(bytes, p.blue);
            } else {
                const PF_Pixel8& p = world.at<PF_Pixel8>(x, y);
                bytes.insert(bytes.end(), {p.alpha, p.red, p.green, p.blue});
            }
        }
    }
    // Binary mode: on Windows a text stream would turn every 0x0A into 0x0D 0x0A.
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace telvix::wintest
