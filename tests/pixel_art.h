// Test helpers: 8- and 16-bit worlds drawn as ASCII art, a serial driver for the smoothing pass,
// and changed-pixel masks.
//
// Legend: '#' opaque black, '.' opaque white, 'g' opaque grey 128, 'o' transparent black
// (all channels 0). Whitespace around rows is ignored; every row must have the same length.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "AE_Effect.h"
#include "AE_Macros.h"
#include "depth_traits.h"
#include "render_info.h"
#include "smoothing_engine.h"

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

template <typename Pixel>
Pixel artPixel(char c)
{
    switch (c) {
        case '#':
            return makePixel<Pixel>(255, 0, 0, 0);
        case '.':
            return makePixel<Pixel>(255, 255, 255, 255);
        case 'g':
            return makePixel<Pixel>(255, 128, 128, 128);
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

// Runs the pass the way the stand-in host does: serially, rows from the top, each from the left,
// over the rectangle [left, right) × [top, bottom) (the whole source by default).
template <typename Pixel>
void runPass(TestWorld<Pixel>& source, TestWorld<Pixel>& output, A_long tolerance,
             PF_LRect area = PF_LRect{0, 0, -1, -1})
{
    if (area.right < 0) {
        area = PF_LRect{0, 0, source.width(), source.height()};
    }
    RenderInfo<Pixel> info = renderInfoFor(source, output, tolerance);
    for (A_long y = area.top; y < area.bottom; ++y) {
        for (A_long x = area.left; x < area.right; ++x) {
            smoothingPass<Pixel>(&info, x, y, nullptr, nullptr);
        }
    }
}

// The source copied to a fresh output, then smoothed.
template <typename Pixel>
TestWorld<Pixel> smoothed(TestWorld<Pixel>& source, A_long tolerance = 6)
{
    TestWorld<Pixel> output(source);
    runPass(source, output, tolerance);
    return output;
}

template <typename Pixel>
bool samePixel(const Pixel& a, const Pixel& b)
{
    return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
}

// 'x' where the two worlds differ, '.' where they agree, one row per line.
template <typename Pixel>
std::string changedMask(const TestWorld<Pixel>& before, const TestWorld<Pixel>& after)
{
    std::string mask;
    for (A_long y = 0; y < before.height(); ++y) {
        for (A_long x = 0; x < before.width(); ++x) {
            mask += samePixel(before.at(x, y), after.at(x, y)) ? '.' : 'x';
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

}  // namespace telvix::test
