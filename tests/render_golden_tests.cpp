// Whole-render regression on the shipped cel frames: every frame, at 8 and 16 bits, with the
// colour key off and on, at tolerances 0, 6 and 255, rendered through the plug-in's entry point
// and the stand-in host, must give exactly the recorded result. These checksums guard every
// speed-up of the render: an optimisation may not change a single output bit.
//
// The frames live outside the repository (TELVIX_FRAMES_DIR); without them the tests skip.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "effect_entry.h"
#include "standin_host.h"

namespace {

// A 16-bit file value (0-65535) to the host's range (0-32768), rounded up.
A_u_short fileToHost16(std::uint16_t v)
{
    return static_cast<A_u_short>((std::uint32_t{v} * 32768u + 32767u) / 65535u);
}

// Decodes an RGBA file into a world of its own depth (8-bit files to 8-bit worlds, 16-bit
// files to deep worlds), with padded rows as a host may hand them over.
standin::World loadFrame(const std::filesystem::path& path, bool deep)
{
    auto in = OIIO::ImageInput::open(path.string());
    if (!in) {
        throw std::runtime_error("cannot open " + path.string());
    }
    const OIIO::ImageSpec spec = in->spec();
    if (spec.nchannels != 4) {
        throw std::runtime_error("not RGBA: " + path.string());
    }
    standin::World world(spec.width, spec.height, deep, 12);
    const std::size_t count = std::size_t(spec.width) * std::size_t(spec.height) * 4;
    if (deep) {
        std::vector<std::uint16_t> rgba(count);
        if (!in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT16, rgba.data())) {
            throw std::runtime_error("cannot read " + path.string());
        }
        for (A_long y = 0; y < spec.height; ++y) {
            for (A_long x = 0; x < spec.width; ++x) {
                const std::uint16_t* p = &rgba[(std::size_t(y) * spec.width + x) * 4];
                world.at<PF_Pixel16>(x, y) = {fileToHost16(p[3]), fileToHost16(p[0]),
                                              fileToHost16(p[1]), fileToHost16(p[2])};
            }
        }
    } else {
        std::vector<std::uint8_t> rgba(count);
        if (!in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, rgba.data())) {
            throw std::runtime_error("cannot read " + path.string());
        }
        for (A_long y = 0; y < spec.height; ++y) {
            for (A_long x = 0; x < spec.width; ++x) {
                const std::uint8_t* p = &rgba[(std::size_t(y) * spec.width + x) * 4];
                world.at<PF_Pixel8>(x, y) = {p[3], p[0], p[1], p[2]};
            }
        }
    }
    return world;
}

// Adds a fixed pseudo-random grain of -3..+3 levels (8-bit units, times 128 at 16 bits) to every
// channel, alpha included, so that neighbouring colours are
// near but rarely equal and the tolerance decides what is similar.
void addGrain(standin::World& world)
{
    std::uint32_t seed = 20261208u;
    auto grain = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<int>((seed >> 16) % 7u) - 3;
    };
    auto shift = [](int value, int delta, int max) { return std::clamp(value + delta, 0, max); };
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) {
            if (world.deep()) {
                PF_Pixel16& p = world.at<PF_Pixel16>(x, y);
                p.red = static_cast<A_u_short>(shift(p.red, grain() * 128, 32768));
                p.green = static_cast<A_u_short>(shift(p.green, grain() * 128, 32768));
                p.blue = static_cast<A_u_short>(shift(p.blue, grain() * 128, 32768));
                p.alpha = static_cast<A_u_short>(shift(p.alpha, grain() * 128, 32768));
            } else {
                PF_Pixel8& p = world.at<PF_Pixel8>(x, y);
                p.red = static_cast<A_u_char>(shift(p.red, grain(), 255));
                p.green = static_cast<A_u_char>(shift(p.green, grain(), 255));
                p.blue = static_cast<A_u_char>(shift(p.blue, grain(), 255));
                p.alpha = static_cast<A_u_char>(shift(p.alpha, grain(), 255));
            }
        }
    }
}

// FNV-1a over the pixel bytes of every row (row padding excluded).
std::uint64_t checksum(const standin::World& world)
{
    std::uint64_t hash = 14695981039346656037ull;
    const std::size_t rowSize =
        std::size_t(world.width()) * (world.deep() ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8));
    const auto* base = reinterpret_cast<const std::uint8_t*>(world.def().data);
    for (A_long y = 0; y < world.height(); ++y) {
        const std::uint8_t* row = base + std::ptrdiff_t(y) * world.rowbytes();
        for (std::size_t i = 0; i < rowSize; ++i) {
            hash = (hash ^ row[i]) * 1099511628211ull;
        }
    }
    return hash;
}

struct GoldenCase {
    const char* file;
    bool deep;
    bool noisy;  // deterministic grain added, so that near colours test the tolerance
    bool key;
    A_long tolerance;
    std::uint64_t expected;
};

std::ostream& operator<<(std::ostream& os, const GoldenCase& c)
{
    return os << c.file << (c.noisy ? " with grain" : "") << (c.key ? " key on" : " key off")
              << " tolerance " << std::dec << c.tolerance;
}

class RenderGolden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(RenderGolden, FrameRendersToTheRecordedResult)
{
    const GoldenCase& c = GetParam();
    const std::filesystem::path file = std::filesystem::path(TELVIX_FRAMES_DIR) / c.file;
    if (!std::filesystem::exists(file)) {
        GTEST_SKIP() << "frame not present: " << file;
    }
    standin::World input = loadFrame(file, c.deep);
    if (c.noisy) {
        addGrain(input);
    }
    standin::World output(input.width(), input.height(), c.deep, 4);
    standin::Host host(&entryPointFunc);
    standin::Settings settings;  // key colour opaque white
    settings.useColorKey = c.key;
    settings.tolerance = c.tolerance;
    ASSERT_EQ(host.render(input, output, settings), PF_Err_NONE);
    EXPECT_EQ(checksum(output), c.expected)
        << "got 0x" << std::hex << checksum(output) << " for " << c;
    EXPECT_EQ(host.liveWorlds(), 0);
}

// Recorded with the straightforward engine before any speed work.
const GoldenCase kCases[] = {
    // clang-format off
    {"h00_aliased.png",   false, false, false,   0, 0x8f56a3ca058cecafull},
    {"h00_aliased.png",   false, false, false,   6, 0x8f56a3ca058cecafull},
    {"h00_aliased.png",   false, false, false, 255, 0x8b63c8b0cd4c2088ull},
    {"h00_aliased.png",   false, false, true,    0, 0x86bfb01c03038365ull},
    {"h00_aliased.png",   false, false, true,    6, 0x86bfb01c03038365ull},
    {"h00_aliased.png",   false, false, true,  255, 0x417e6f96b5b16fe7ull},
    {"h01_aliased.png",   false, false, false,   0, 0x4381d6efb3e819d8ull},
    {"h01_aliased.png",   false, false, false,   6, 0x4381d6efb3e819d8ull},
    {"h01_aliased.png",   false, false, false, 255, 0x7545e168638277d7ull},
    {"h01_aliased.png",   false, false, true,    0, 0x1ccf005526ffffe4ull},
    {"h01_aliased.png",   false, false, true,    6, 0x1ccf005526ffffe4ull},
    {"h01_aliased.png",   false, false, true,  255, 0x7ced9ac26986aee4ull},
    {"h02_aliased.png",   false, false, false,   0, 0xdb409da7f77db1b6ull},
    {"h02_aliased.png",   false, false, false,   6, 0xdb409da7f77db1b6ull},
    {"h02_aliased.png",   false, false, false, 255, 0xa2e12c64335e364aull},
    {"h02_aliased.png",   false, false, true,    0, 0x364301c27d224605ull},
    {"h02_aliased.png",   false, false, true,    6, 0x364301c27d224605ull},
    {"h02_aliased.png",   false, false, true,  255, 0xc9ea9314302252daull},
    {"h00_aliased16.png", true, false,  false,   0, 0x99826b12ec6d9622ull},
    {"h00_aliased16.png", true, false,  false,   6, 0x99826b12ec6d9622ull},
    {"h00_aliased16.png", true, false,  false, 255, 0xa016e09b02f8130aull},
    {"h00_aliased16.png", true, false,  true,    0, 0xc462660405e1af4full},
    {"h00_aliased16.png", true, false,  true,    6, 0xc462660405e1af4full},
    {"h00_aliased16.png", true, false,  true,  255, 0x1b1f961b5eec4544ull},
    {"h01_aliased16.png", true, false,  false,   0, 0x3a2d4cddd1d43c7aull},
    {"h01_aliased16.png", true, false,  false,   6, 0x3a2d4cddd1d43c7aull},
    {"h01_aliased16.png", true, false,  false, 255, 0x5b8644009dfd4973ull},
    {"h01_aliased16.png", true, false,  true,    0, 0xb4e26c51f70563d8ull},
    {"h01_aliased16.png", true, false,  true,    6, 0xb4e26c51f70563d8ull},
    {"h01_aliased16.png", true, false,  true,  255, 0xd1bd804491b68a0eull},
    {"h02_aliased16.png", true, false,  false,   0, 0x7be7673c34949888ull},
    {"h02_aliased16.png", true, false,  false,   6, 0x7be7673c34949888ull},
    {"h02_aliased16.png", true, false,  false, 255, 0xdd92ff12dcc459e2ull},
    {"h02_aliased16.png", true, false,  true,    0, 0xeb72296f1818b6feull},
    {"h02_aliased16.png", true, false,  true,    6, 0xeb72296f1818b6feull},
    {"h02_aliased16.png", true, false,  true,  255, 0x622c4925383bb1e2ull},
    {"u00_aliased.png",   false, false, false,   6, 0x7d7a18c60e9a9d98ull},
    {"u00_aliased.png",   false, false, true,    6, 0xcbcf4f8c2511e2dull},
    {"h00_aliased.png",   false, true,  false,   0, 0x8dfcc99cd60a0da8ull},
    {"h00_aliased.png",   false, true,  false,   6, 0xb9f7e9a7d42eff00ull},
    {"h00_aliased.png",   false, true,  false, 255, 0x55d25c5b6abee9abull},
    {"h00_aliased16.png", true,  true,  false,   0, 0xa5e6a2ccbd042a89ull},
    {"h00_aliased16.png", true,  true,  false,   6, 0x327c00879944265dull},
    {"h00_aliased16.png", true,  true,  true,    6, 0xa52194df5770c28eull},
    // clang-format on
};

INSTANTIATE_TEST_SUITE_P(ShippedFrames, RenderGolden, ::testing::ValuesIn(kCases));

}  // namespace
