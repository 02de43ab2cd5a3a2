// The plug-in, rendered through its entry point by the stand-in host, must give exactly the
// output of the plain reference pass in tests/reference: on the shipped cel frames and on
// thousands of small random frames, at both depths, with the colour key on and off, at several
// tolerances and over whole and partial extents, and whether the host runs each iterate serially
// or split into bands of rows on up to 16 threads at once.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "effect_entry.h"
#include "frame_makers.h"
#include "reference/reference_pass.h"
#include "standin_host.h"

namespace {

using telvix::test::putColour;

// A pixel's channels as alpha, red, green, blue, at either depth.
struct Channels {
    std::array<int, 4> value;
    bool operator==(const Channels&) const = default;
};

template <typename Pixel>
Channels channels(const Pixel& p)
{
    return {{p.alpha, p.red, p.green, p.blue}};
}

Channels channels(const standin::World& world, A_long x, A_long y)
{
    return world.deep() ? channels(world.at<PF_Pixel16>(x, y))
                        : channels(world.at<PF_Pixel8>(x, y));
}

std::ostream& operator<<(std::ostream& os, const Channels& c)
{
    return os << "(a " << c.value[0] << ", r " << c.value[1] << ", g " << c.value[2] << ", b "
              << c.value[3] << ")";
}

// The reference's render of `input`.
standin::World referenceRender(const standin::World& input, const standin::Settings& settings,
                               PF_Rect extent)
{
    standin::World reference(input.width(), input.height(), input.deep());
    const auto render = input.deep() ? &telvix::reference::render<PF_Pixel16>
                                     : &telvix::reference::render<PF_Pixel8>;
    render(input.def(), reference.def(), settings.useColorKey, settings.keyColor,
           settings.tolerance, extent);
    return reference;
}

// Renders `input` through the plug-in, on a host whose iterates and copies run in bands on
// threads as `threading` says, and compares the result byte for byte with `reference`.
::testing::AssertionResult pluginMatches(const standin::World& reference, standin::World& input,
                                         const standin::Settings& settings, PF_Rect extent,
                                         standin::Threading threading)
{
    standin::World plugin(input.width(), input.height(), input.deep(), 8);
    plugin.def().extent_hint = extent;
    standin::Host host(&entryPointFunc);
    host.setThreading(threading);
    if (const PF_Err err = host.render(input, plugin, settings); err != PF_Err_NONE) {
        return ::testing::AssertionFailure() << "the plug-in's render returned " << err;
    }
    long differing = 0;
    A_long firstX = 0;
    A_long firstY = 0;
    for (A_long y = 0; y < input.height(); ++y) {
        for (A_long x = 0; x < input.width(); ++x) {
            if (channels(plugin, x, y) != channels(reference, x, y) && differing++ == 0) {
                firstX = x;
                firstY = y;
            }
        }
    }
    if (differing == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "on " << threading.threads << " host threads (split seed " << threading.splitSeed
           << "), " << differing << " pixels differ, the first at (" << firstX << ", " << firstY
           << "): plug-in " << channels(plugin, firstX, firstY) << ", reference "
           << channels(reference, firstX, firstY);
}

std::string describe(const standin::Settings& s, PF_Rect e)
{
    std::ostringstream os;
    os << "tolerance " << s.tolerance << ", key ";
    if (s.useColorKey) {
        os << "on " << channels(s.keyColor);
    } else {
        os << "off";
    }
    os << ", extent {" << e.left << ", " << e.top << ", " << e.right << ", " << e.bottom << "}";
    return os.str();
}

// ---------------------------------------------------------------------------------------------
// Shipped frames.

// Loads an RGBA PNG: 8-bit files into 8-bit worlds or widened into deep ones, 16-bit files into
// deep worlds (file value v becomes (v * 32768 + 32767) / 65535).
standin::World loadFrame(const std::filesystem::path& path, bool deep)
{
    auto in = OIIO::ImageInput::open(path.string());
    const OIIO::ImageSpec image = in ? in->spec() : OIIO::ImageSpec();
    const bool sixteen = image.format == OIIO::TypeDesc::UINT16;
    std::vector<std::uint16_t> rgba(std::size_t(image.width) * std::size_t(image.height) * 4);
    if (!in || image.nchannels != 4 || (sixteen && !deep) ||
        !in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT16, rgba.data())) {
        throw std::runtime_error("cannot load an RGBA frame of this depth from " + path.string());
    }
    standin::World world(image.width, image.height, deep, 16);
    for (A_long y = 0; y < image.height; ++y) {
        for (A_long x = 0; x < image.width; ++x) {
            const std::uint16_t* p = &rgba[(std::size_t(y) * image.width + x) * 4];
            if (sixteen) {
                auto host = [](std::uint32_t v) {
                    return A_u_short((v * 32768u + 32767u) / 65535u);
                };
                world.at<PF_Pixel16>(x, y) = {host(p[3]), host(p[0]), host(p[1]), host(p[2])};
            } else {
                // OIIO widens 8-bit values by 257; the division gives the file's byte back.
                putColour(world, x, y,
                          {A_u_char(p[3] / 257), A_u_char(p[0] / 257), A_u_char(p[1] / 257),
                           A_u_char(p[2] / 257)});
            }
        }
    }
    return world;
}

// A frame's file and whether it is loaded into a deep world.
using FrameCase = std::tuple<const char*, bool>;

class ShippedFrame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(ShippedFrame, PluginMatchesReference)
{
    const auto [name, deep] = GetParam();
    const std::filesystem::path file = std::filesystem::path(TELVIX_FRAMES_DIR) / name;
    ASSERT_TRUE(std::filesystem::exists(file)) << "frame missing: " << file;
    standin::World input = loadFrame(file, deep);
    const A_long w = input.width();
    const A_long h = input.height();
    const PF_Rect extents[] = {
        {0, 0, w, h},                          // whole frame
        {w / 4, h / 3, w - w / 4, h - h / 3},  // the middle
        {w - w / 3, h - h / 4, w, h},          // touching the bottom-right corner
        {0, 0, w / 5, h / 3},                  // touching the top-left corner
    };
    for (const bool key : {false, true}) {
        for (const A_long tolerance : {0, 6, 255}) {
            for (const PF_Rect& extent : extents) {
                standin::Settings settings;  // key colour opaque white
                settings.useColorKey = key;
                settings.tolerance = tolerance;
                const standin::World reference = referenceRender(input, settings, extent);
                // Serially, and in bands on 2 to 16 threads, even and uneven.
                for (const standin::Threading threading :
                     {standin::Threading{1, 0}, standin::Threading{2, 0}, standin::Threading{3, 7u},
                      standin::Threading{8, 0}, standin::Threading{16, 1234u}}) {
                    EXPECT_TRUE(pluginMatches(reference, input, settings, extent, threading))
                        << name << (deep ? " deep, " : " 8-bit, ") << describe(settings, extent);
                }
            }
        }
    }
}

// Test names from the file and the depth it is loaded at: "s00_aliased_deep".
std::string frameCaseName(const ::testing::TestParamInfo<FrameCase>& info)
{
    std::string name = std::filesystem::path(std::get<0>(info.param)).stem().string();
    return name + (std::get<1>(info.param) ? "_deep" : "_8bit");
}

INSTANTIATE_TEST_SUITE_P(
    EightBit, ShippedFrame,
    ::testing::Combine(::testing::Values("small/s00_aliased.png", "small/s01_aliased.png",
                                         "small/s02_aliased.png", "small/s03_aliased.png",
                                         "small/s04_aliased.png", "h01_aliased.png"),
                       ::testing::Bool()),
    frameCaseName);
INSTANTIATE_TEST_SUITE_P(SixteenBit, ShippedFrame,
                         ::testing::Values(FrameCase{"h00_aliased16.png", true}), frameCaseName);

// ---------------------------------------------------------------------------------------------
// Small random frames (frame_makers.h), thousands of them.

using telvix::test::RandomFrames;

constexpr std::uint32_t kSeed = 20240611u;
constexpr int kCasesPerShard = 2500;

class RandomShard : public ::testing::TestWithParam<int> {};

TEST_P(RandomShard, PluginMatchesReference)
{
    for (int i = 0; i < kCasesPerShard; ++i) {
        const std::uint32_t seed = kSeed + std::uint32_t(GetParam() * kCasesPerShard + i);
        RandomFrames random(seed);
        std::vector<PF_Pixel8> used;
        const bool deep = random.pick(0, 1) == 1;
        standin::World input = random.frame(deep, used);
        standin::Settings settings;
        settings.tolerance = random.tolerance();
        settings.useColorKey = random.pick(0, 1) == 1;
        settings.keyColor =
            random.pick(0, 1) ? used[std::size_t(random.pick(0, 3))] : random.colour();
        const PF_Rect extent = random.extent(input.width(), input.height());
        // A random number of bands with random boundaries for each of the render's iterates.
        const standin::Threading threading{int(random.pick(1, 16)),
                                           std::uint32_t(random.pick(1, 1 << 20))};
        ASSERT_TRUE(pluginMatches(referenceRender(input, settings, extent), input, settings, extent,
                                  threading))
            << "seed " << seed << ": " << input.width() << "x" << input.height()
            << (deep ? " deep, " : " 8-bit, ") << describe(settings, extent);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomShard, ::testing::Range(0, 4));

}  // namespace
