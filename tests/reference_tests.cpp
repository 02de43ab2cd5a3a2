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
#include "reference/reference_pass.h"
#include "standin_host.h"

namespace {

A_u_short widen(A_u_char c) { return static_cast<A_u_short>((c * 32768 + 128) / 255); }

// Writes an 8-bit colour, widened in a deep world.
void put(standin::World& world, A_long x, A_long y, PF_Pixel8 c)
{
    if (world.deep()) {
        world.at<PF_Pixel16>(x, y) = {widen(c.alpha), widen(c.red), widen(c.green), widen(c.blue)};
    } else {
        world.at<PF_Pixel8>(x, y) = c;
    }
}

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
                put(world, x, y,
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
// Small random frames: a few colours of a palette in rectangles, lines, stair-stepped half
// planes, short segments at the borders and single dots, so that steps, corners, thin lines and
// isolated pixels all occur.

const PF_Pixel8 kPalette[] = {
    {255, 0, 0, 0},       {255, 20, 30, 90},    {255, 60, 40, 30},    {255, 255, 255, 255},
    {255, 250, 240, 220}, {255, 200, 200, 200}, {255, 128, 128, 128}, {255, 220, 30, 30},
    {255, 40, 180, 60},   {128, 0, 0, 0},       {0, 255, 255, 255},   {0, 0, 0, 0},
    {40, 200, 100, 50},   {255, 3, 3, 3},       {252, 255, 255, 255}, {254, 254, 254, 254},
};

class RandomFrames {
public:
    explicit RandomFrames(std::uint32_t seed) : rng_(seed) {}

    A_long pick(A_long lo, A_long hi) { return lo + A_long(rng_() % std::uint32_t(hi - lo + 1)); }
    PF_Pixel8 colour() { return kPalette[pick(0, A_long(std::size(kPalette)) - 1)]; }

    standin::World frame(bool deep, std::vector<PF_Pixel8>& used)
    {
        const A_long w = pick(1, 40);
        const A_long h = pick(1, 40);
        standin::World world(w, h, deep, 8 * pick(0, 2));
        used = {colour(), colour(), colour(), colour()};
        auto plot = [&](A_long x, A_long y, PF_Pixel8 c) {
            if (x >= 0 && x < w && y >= 0 && y < h) {
                put(world, x, y, c);
            }
        };
        for (A_long y = 0; y < h; ++y) {
            for (A_long x = 0; x < w; ++x) {
                plot(x, y, used[0]);
            }
        }
        for (A_long shapes = pick(1, 6); shapes > 0; --shapes) {
            const PF_Pixel8 ink = used[std::size_t(pick(1, 3))];
            const A_long x0 = pick(-2, w + 1), y0 = pick(-2, h + 1);
            const A_long x1 = pick(-2, w + 1), y1 = pick(-2, h + 1);
            switch (pick(0, 4)) {
                case 0:  // rectangle
                    for (A_long y = std::min(y0, y1); y <= std::max(y0, y1); ++y) {
                        for (A_long x = std::min(x0, x1); x <= std::max(x0, x1); ++x) {
                            plot(x, y, ink);
                        }
                    }
                    break;
                case 1: {  // line, one or two pixels thick
                    const A_long steps =
                        std::max({std::abs(x1 - x0), std::abs(y1 - y0), A_long{1}});
                    const bool thick = pick(0, 2) == 0;
                    for (A_long i = 0; i <= steps; ++i) {
                        const A_long x = x0 + A_long(std::lround(double(i * (x1 - x0)) / steps));
                        const A_long y = y0 + A_long(std::lround(double(i * (y1 - y0)) / steps));
                        plot(x, y, ink);
                        if (thick) {
                            plot(x + 1, y, ink);
                        }
                    }
                    break;
                }
                case 2: {  // half plane with a stair-stepped border
                    const A_long p = pick(-4, 4), q = pick(1, 4), r = pick(-20, 60);
                    for (A_long y = 0; y < h; ++y) {
                        for (A_long x = 0; x < w; ++x) {
                            if (y * q < x * p + r) {
                                plot(x, y, ink);
                            }
                        }
                    }
                    break;
                }
                case 3: {  // a short one-pixel segment from at or near the left or top border,
                           // sometimes with a spur beside it (a knee in the segment's border)
                    const A_long from = pick(0, 2);
                    const A_long length = pick(2, 9);
                    const bool across = pick(0, 1) == 1;
                    for (A_long i = 0; i < length; ++i) {
                        plot(across ? from + i : x0, across ? y0 : from + i, ink);
                    }
                    if (pick(0, 1) == 1) {
                        const A_long at = from + pick(0, 1) * pick(0, length - 1);
                        const A_long side = pick(0, 1) * 2 - 1;
                        plot(across ? at : x0 + side, across ? y0 + side : at, ink);
                    }
                    break;
                }
                default:  // single dots
                    for (A_long n = pick(1, 5); n > 0; --n) {
                        plot(pick(0, w - 1), pick(0, h - 1), ink);
                    }
            }
        }
        // Sometimes a grain of up to 3 levels on every channel, so that the tolerance decides.
        auto grain = [this](auto& pixel, int unit, int max) {
            for (auto* c : {&pixel.alpha, &pixel.red, &pixel.green, &pixel.blue}) {
                *c = static_cast<std::remove_reference_t<decltype(*c)>>(
                    std::clamp(int(*c) + int(pick(-3, 3)) * unit, 0, max));
            }
        };
        for (A_long y = 0, grainy = pick(0, 3) == 0; grainy && y < h; ++y) {
            for (A_long x = 0; x < w; ++x) {
                deep ? grain(world.at<PF_Pixel16>(x, y), 128, 32768)
                     : grain(world.at<PF_Pixel8>(x, y), 1, 255);
            }
        }
        return world;
    }

    // Weighted towards the small tolerances that users set.
    A_long tolerance()
    {
        const A_long kind = pick(0, 3);
        return kind == 0 ? 0 : kind == 1 ? pick(0, 255) : pick(0, 12);
    }

    // The whole frame, an empty area, an area inside the frame, or one reaching beyond it.
    PF_Rect extent(A_long w, A_long h)
    {
        const A_long kind = pick(0, 4);
        const A_long l = pick(0, w - 1), t = pick(0, h - 1);
        if (kind == 2) {
            return pick(0, 1) ? PF_Rect{l, t, l, pick(t, h)} : PF_Rect{l, t, pick(l, w), t};
        }
        if (kind == 3) {
            return {l, t, pick(l + 1, w), pick(t + 1, h)};
        }
        if (kind == 4) {
            return {pick(-3, w), pick(-3, h), pick(-3, w + 3), pick(-3, h + 3)};
        }
        return {0, 0, w, h};
    }

private:
    std::mt19937 rng_;
};

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
