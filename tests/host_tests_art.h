// Small frames drawn as ASCII art for the host-side tests, at either depth.
#pragma once

#include "standin_host.h"

#include <sstream>
#include <string>
#include <vector>

namespace telvix_test {

template <typename Pixel>
inline constexpr A_u_short kMax = sizeof(Pixel) == sizeof(PF_Pixel16) ? PF_MAX_CHAN16 : PF_MAX_CHAN8;

// The palette: '#' ink (opaque black), '.' paper (opaque white), 'r' opaque red,
// 'h' white at half alpha, 'o' white at alpha 0 (what the white key leaves), '_' all zero.
template <typename Pixel>
Pixel paletteColour(char c)
{
    using C = decltype(Pixel{}.alpha);
    const C m = kMax<Pixel>;
    switch (c) {
    case '#': return Pixel{m, 0, 0, 0};
    case '.': return Pixel{m, m, m, m};
    case 'r': return Pixel{m, m, 0, 0};
    case 'h': return Pixel{C(m / 2), m, m, m};
    case 'o': return Pixel{0, m, m, m};
    default: return Pixel{0, 0, 0, 0};  // '_'
    }
}

inline std::vector<std::string> artRows(const std::string& art)
{
    std::vector<std::string> rows;
    std::istringstream lines(art);
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find_first_not_of(" \t");
        if (first != std::string::npos) {
            rows.push_back(line.substr(first, line.find_last_not_of(" \t") - first + 1));
        }
    }
    return rows;
}

template <typename Pixel>
standin::World artWorld(const std::string& art, A_long rowPadding = 0)
{
    const auto rows = artRows(art);
    standin::World world(A_long(rows.at(0).size()), A_long(rows.size()),
                         sizeof(Pixel) == sizeof(PF_Pixel16), rowPadding);
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) {
            world.at<Pixel>(x, y) = paletteColour<Pixel>(rows[y].at(x));
        }
    }
    return world;
}

// The world drawn back in the palette ('?' for a colour outside it), one row per line, so that
// EXPECT_EQ on two drawings shows both frames when they differ.
template <typename Pixel>
std::string drawing(const standin::World& world)
{
    std::string out;
    for (A_long y = 0; y < world.height(); ++y) {
        out += '\n';
        for (A_long x = 0; x < world.width(); ++x) {
            const Pixel p = world.at<Pixel>(x, y);
            char c = '?';
            for (char candidate : std::string("#.rho_")) {
                const Pixel q = paletteColour<Pixel>(candidate);
                if (p.alpha == q.alpha && p.red == q.red && p.green == q.green && p.blue == q.blue) {
                    c = candidate;
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
    return drawing<Pixel>(artWorld<Pixel>(art));
}

}  // namespace telvix_test
