// Test helpers: 8- and 16-bit frames drawn as ASCII art, for the engine's tests (TestWorld, a
// world of one depth that owns its pixels) and for the tests that go through the stand-in host
// (standin::World); the smoothing pass over a TestWorld (engine_adapters.h); changed-pixel masks;
// and equality
// and printing of pixels, so that EXPECT_EQ on two pixels shows both when they differ.
//
// Legend, at either depth:
//   '#' opaque black (ink)            '.' opaque white (paper)
//   'g' opaque grey 128               'r' opaque red
//   'h' white at half alpha           'w' white at alpha 0 (what the white key leaves)
//   'o' transparent black (all channels 0, what a fresh world holds)
// Whitespace around rows is ignored; every row must have the same length.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "AE_Effect.h"
#include "AE_Macros.h"
#include "depth_traits.h"
#include "engine_adapters.h"
#include "render_info.h"
#include "smoothing_engine.h"
#include "standin_host.h"

// Pixels compare channel by channel and print as {a, r, g, b}. The host SDK declares the pixel
// types in the global namespace without either, so the tests give them here, where argument-
// dependent lookup (and GoogleTest's printer) finds them.
inline bool operator==(const PF_Pixel8& a, const PF_Pixel8& b)
{
    return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
}
inline bool operator==(const PF_Pixel16& a, const PF_Pixel16& b)
{
    return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
}
inline void PrintTo(const PF_Pixel8& p, std::ostream* os)
{
    *os << "PF_Pixel8{a " << int(p.alpha) << ", r " << int(p.red) << ", g " << int(p.green)
        << ", b " << int(p.blue) << "}";
}
inline void PrintTo(const PF_Pixel16& p, std::ostream* os)
{
    *os << "PF_Pixel16{a " << p.alpha << ", r " << p.red << ", g " << p.green << ", b " << p.blue
        << "}";
}

namespace telvix::test {

using Depths = ::testing::Types<PF_Pixel8, PF_Pixel16>;

// An 8-bit channel value at the depth of Pixel, widened as the host widens 8-bit colours.
template <typename Pixel>
constexpr A_long level(A_long value8)
{
    if constexpr (sizeof(Pixel) == 4) {
        return value8;
    } else {
        return (value8 * PF_MAX_CHAN16 + PF_HALF_CHAN8) / PF_MAX_CHAN8;
    }
}

// An opaque-or-not pixel from 8-bit channel values.
template <typename Pixel>
Pixel makePixel(A_long alpha, A_long red, A_long green, A_long blue)
{
    using Channel = typename DepthTraits<Pixel>::Channel;
    Pixel p;
    p.alpha = static_cast<Channel>(level<Pixel>(alpha));
    p.red = static_cast<Channel>(level<Pixel>(red));
    p.green = static_cast<Channel>(level<Pixel>(green));
    p.blue = static_cast<Channel>(level<Pixel>(blue));
    return p;
}

// The depth's white: 255, or 32768 at 16 bits.
template <typename Pixel>
inline constexpr auto kMax =
    static_cast<typename DepthTraits<Pixel>::Channel>(DepthTraits<Pixel>::channelMax);

// The legend's characters, in the order drawing() tries them.
inline constexpr char kArtLegend[] = "#.grhwo";

template <typename Pixel>
Pixel artPixel(char c)
{
    using Channel = typename DepthTraits<Pixel>::Channel;
    switch (c) {
        case '#':
            return makePixel<Pixel>(255, 0, 0, 0);
        case '.':
            return makePixel<Pixel>(255, 255, 255, 255);
        case 'g':
            return makePixel<Pixel>(255, 128, 128, 128);
        case 'r':
            return makePixel<Pixel>(255, 255, 0, 0);
        case 'h':  // half of the depth's white, not 128 widened: 127, or 16384 at 16 bits
            return Pixel{static_cast<Channel>(kMax<Pixel> / 2), kMax<Pixel>, kMax<Pixel>,
                         kMax<Pixel>};
        case 'w':
            return makePixel<Pixel>(0, 255, 255, 255);
        case 'o':
            return makePixel<Pixel>(0, 0, 0, 0);
        default:
            throw std::invalid_argument(std::string("unknown art character ") + c);
    }
}

// The non-empty, trimmed rows of an ASCII drawing.
inline std::vector<std::string> artRows(const std::string& art)
{
    std::vector<std::string> rows;
    std::istringstream in(art);
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos) {
            continue;
        }
        rows.push_back(line.substr(first, line.find_last_not_of(" \t") - first + 1));
    }
    return rows;
}

// A world that owns its pixels, rows `rowbytes` apart (width × pixel size + padding).
template <typename Pixel>
class TestWorld {
public:
    TestWorld(A_long width, A_long height, A_long padding = 0)
        : rowbytes_(width * static_cast<A_long>(sizeof(Pixel)) + padding),
          storage_(static_cast<std::size_t>(rowbytes_) * static_cast<std::size_t>(height))
    {
        def_.width = width;
        def_.height = height;
        def_.rowbytes = rowbytes_;
        def_.world_flags = sizeof(Pixel) == 8 ? PF_WorldFlag_DEEP : 0;
        def_.extent_hint = PF_LRect{0, 0, width, height};
        def_.data = reinterpret_cast<PF_PixelPtr>(storage_.data());
    }
    TestWorld(const TestWorld& other) : rowbytes_(other.rowbytes_), storage_(other.storage_)
    {
        def_ = other.def_;
        def_.data = reinterpret_cast<PF_PixelPtr>(storage_.data());
    }
    TestWorld& operator=(const TestWorld&) = delete;

    PF_EffectWorld* def() { return &def_; }
    A_long width() const { return def_.width; }
    A_long height() const { return def_.height; }
    Pixel& at(A_long x, A_long y) { return *pixelAt<Pixel>(&def_, x, y); }
    const Pixel& at(A_long x, A_long y) const { return *pixelAt<Pixel>(&def_, x, y); }

private:
    A_long rowbytes_;
    std::vector<std::uint8_t> storage_;
    PF_EffectWorld def_{};
};

template <typename Pixel>
TestWorld<Pixel> artWorld(const std::string& art, A_long padding = 0)
{
    const auto rows = artRows(art);
    TestWorld<Pixel> world(static_cast<A_long>(rows.at(0).size()), static_cast<A_long>(rows.size()),
                           padding);
    for (A_long y = 0; y < world.height(); ++y) {
        if (static_cast<A_long>(rows[y].size()) != world.width()) {
            throw std::invalid_argument("ragged art row: " + rows[y]);
        }
        for (A_long x = 0; x < world.width(); ++x) {
            world.at(x, y) = artPixel<Pixel>(rows[y][x]);
        }
    }
    return world;
}

template <typename Pixel>
RenderInfo<Pixel> renderInfoFor(TestWorld<Pixel>& source, TestWorld<Pixel>& output,
                                A_long tolerance)
{
    RenderInfo<Pixel> info{};
    info.tolerance = tolerance;
    info.tolerance2 = tolerance;
    bindSource(info, source.def());
    info.output = output.def();
    return info;
}

// Runs the pass as a render does (passOver), over the rectangle [left, right) × [top, bottom)
// (the whole source by default).
template <typename Pixel>
void runPass(TestWorld<Pixel>& source, TestWorld<Pixel>& output, A_long tolerance,
             PF_LRect area = PF_LRect{0, 0, -1, -1})
{
    if (area.right < 0) {
        area = PF_LRect{0, 0, source.width(), source.height()};
    }
    passOver(renderInfoFor(source, output, tolerance),
             PF_Rect{area.left, area.top, area.right, area.bottom});
}

// The source copied to a fresh output, then smoothed.
template <typename Pixel>
TestWorld<Pixel> smoothed(TestWorld<Pixel>& source, A_long tolerance = 6)
{
    TestWorld<Pixel> output(source);
    runPass(source, output, tolerance);
    return output;
}

// 'x' where the two worlds differ, '.' where they agree, one row per line.
template <typename Pixel>
std::string changedMask(const TestWorld<Pixel>& before, const TestWorld<Pixel>& after)
{
    std::string mask;
    for (A_long y = 0; y < before.height(); ++y) {
        for (A_long x = 0; x < before.width(); ++x) {
            mask += before.at(x, y) == after.at(x, y) ? '.' : 'x';
        }
        mask += '\n';
    }
    return mask;
}

// An expected mask written as indented art, in the form changedMask produces.
inline std::string mask(const std::string& art)
{
    std::string out;
    for (const auto& row : artRows(art)) {
        out += row + '\n';
    }
    return out;
}

// A stand-in host world (8- or 16-bit by Pixel) drawn from art, each row followed by
// `rowPadding` spare bytes.
template <typename Pixel>
standin::World artFrame(const std::string& art, A_long rowPadding = 0)
{
    const auto rows = artRows(art);
    standin::World world(static_cast<A_long>(rows.at(0).size()), static_cast<A_long>(rows.size()),
                         sizeof(Pixel) == sizeof(PF_Pixel16), rowPadding);
    for (A_long y = 0; y < world.height(); ++y) {
        if (static_cast<A_long>(rows[y].size()) != world.width()) {
            throw std::invalid_argument("ragged art row: " + rows[y]);
        }
        for (A_long x = 0; x < world.width(); ++x) {
            world.at<Pixel>(x, y) = artPixel<Pixel>(rows[y][x]);
        }
    }
    return world;
}

// The world drawn back in the legend ('?' for a colour outside it), each row after a line
// break, so that EXPECT_EQ on two drawings shows both frames when they differ.
template <typename Pixel>
std::string drawing(const standin::World& world)
{
    std::string out;
    for (A_long y = 0; y < world.height(); ++y) {
        out += '\n';
        for (A_long x = 0; x < world.width(); ++x) {
            const Pixel p = world.at<Pixel>(x, y);
            char c = '?';
            for (const char* candidate = kArtLegend; *candidate != '\0'; ++candidate) {
                if (p == artPixel<Pixel>(*candidate)) {
                    c = *candidate;
                    break;
                }
            }
            out += c;
        }
    }
    return out;
}

template <typename Pixel>
std::string drawing(const std::string& art)
{
    return drawing<Pixel>(artFrame<Pixel>(art));
}

}  // namespace telvix::test
