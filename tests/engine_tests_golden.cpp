// Whole-frame regression: a shipped cel frame smoothed at both depths must give exactly the
// recorded result. The same checksums hold for optimised and unoptimised builds, since every
// result is defined to the bit.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pixel_art.h"
#include "smoothing_engine.h"

namespace telvix {
namespace {

// Decodes an 8-bit RGBA file into a world of the depth, widening channels the way the host
// widens 8-bit values.
template <typename Pixel>
test::TestWorld<Pixel> loadFrame(const std::string& path)
{
    auto input = OIIO::ImageInput::open(path);
    if (!input) {
        throw std::runtime_error("cannot open " + path);
    }
    const OIIO::ImageSpec& spec = input->spec();
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(spec.width) * spec.height * 4);
    if (spec.nchannels != 4 || !input->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, rgba.data())) {
        throw std::runtime_error("cannot read RGBA from " + path);
    }
    test::TestWorld<Pixel> world(spec.width, spec.height);
    for (A_long y = 0; y < spec.height; ++y) {
        for (A_long x = 0; x < spec.width; ++x) {
            const std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * spec.width + x) * 4];
            world.at(x, y) = test::makePixel<Pixel>(p[3], p[0], p[1], p[2]);
        }
    }
    return world;
}

// FNV-1a over all channels in memory order, row by row.
template <typename Pixel>
std::uint64_t checksum(const test::TestWorld<Pixel>& world)
{
    std::uint64_t hash = 14695981039346656037ull;
    auto add = [&hash](std::uint32_t v) {
        hash ^= v;
        hash *= 1099511628211ull;
    };
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) {
            const Pixel& p = world.at(x, y);
            add(p.alpha);
            add(p.red);
            add(p.green);
            add(p.blue);
        }
    }
    return hash;
}

template <typename Pixel>
void expectGolden(std::uint64_t expectedInput, std::uint64_t expectedOutput)
{
    auto frame = loadFrame<Pixel>(std::string(TELVIX_GOLDEN_DIR) + "/cel_small.png");
    EXPECT_EQ(checksum(frame), expectedInput) << "the input frame itself changed";
    const auto out = test::smoothed(frame, 6);
    EXPECT_EQ(checksum(out), expectedOutput) << std::hex << checksum(out);
}

TEST(Golden, CelFrameSmoothsToTheRecordedResultAt8Bit)
{
    expectGolden<PF_Pixel8>(0xf4cd3969921f360full, 0x64d8b60c2b40477dull);
}

TEST(Golden, CelFrameSmoothsToTheRecordedResultAt16Bit)
{
    expectGolden<PF_Pixel16>(0xc82a696a4d9f131ull, 0xa3e8ade925d08926ull);
}

}  // namespace
}  // namespace telvix
