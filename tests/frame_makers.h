// Frames made from a seed for the tests, the Windows test host and the benchmarks, all drawn
// from integer arithmetic (or, for the benchmark frame, the same double arithmetic everywhere)
// so that every compiler and platform makes the very same pixels. Golden images and recorded
// checksums depend on these frames bit for bit: change a generator only with them.
//
//   Lcg                    the one pseudo-random sequence most generators share
//   celTestFrame           small cel drawings: aliased lines, discs, specks, transparency
//                          (the Windows test host's frames)
//   strokeFrame            dark strokes with key-coloured and half-transparent pixels
//   RandomFrames           palette shapes, stair-steps and dots of random sizes (mt19937)
//   drawSyntheticCelFrame  large outlined fills and hatching for the benchmarks
//   fillUniformGrey        one flat opaque grey
//   addGrain               a fixed grain of -3..+3 levels over a loaded frame
//
// Colours are chosen in 8-bit terms; deep frames get them widened as the host widens 8-bit
// colours (widen8to16).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <random>
#include <type_traits>
#include <vector>

#include "AE_Macros.h"
#include "standin_host.h"

namespace telvix::test {

// A tiny linear congruential generator: the same numbers on every compiler and library.
class Lcg {
public:
    explicit Lcg(std::uint32_t seed) : state_(seed) {}
    // Advances and returns the whole 32-bit state.
    std::uint32_t step()
    {
        state_ = state_ * 1664525u + 1013904223u;
        return state_;
    }
    // The next number, 24 bits wide: the low bits of an LCG are poor, so they are dropped.
    std::uint32_t next() { return step() >> 8; }
    // A number in [lo, hi].
    int range(int lo, int hi) { return lo + int(next() % std::uint32_t(hi - lo + 1)); }

private:
    std::uint32_t state_;
};

// The host's 8-to-16-bit widening: 255 becomes 32768, 128 becomes 16448.
inline A_u_short widen8to16(A_u_char c) { return static_cast<A_u_short>(CONVERT8TO16(c)); }

// Writes an 8-bit colour, widened in a deep world.
inline void putColour(standin::World& world, A_long x, A_long y, PF_Pixel8 c)
{
    if (world.deep()) {
        world.at<PF_Pixel16>(x, y) = {widen8to16(c.alpha), widen8to16(c.red), widen8to16(c.green),
                                      widen8to16(c.blue)};
    } else {
        world.at<PF_Pixel8>(x, y) = c;
    }
}

// ---------------------------------------------------------------------------------------------
// Small cel drawings (the Windows test host's frames).

// Drawing happens in 8-bit colour; deep frames widen it afterwards.
class CelCanvas {
public:
    CelCanvas(A_long width, A_long height)
        : width_(width),
          height_(height),
          pixels_(std::size_t(width) * std::size_t(height), PF_Pixel8{255, 255, 255, 255})
    {
    }
    A_long width() const { return width_; }
    A_long height() const { return height_; }
    PF_Pixel8& at(A_long x, A_long y)
    {
        return pixels_[std::size_t(y) * std::size_t(width_) + std::size_t(x)];
    }
    bool inside(A_long x, A_long y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
    void plot(A_long x, A_long y, PF_Pixel8 c)
    {
        if (inside(x, y)) {
            at(x, y) = c;
        }
    }

    // An aliased line (Bresenham), `thickness` pixels square.
    void line(A_long x0, A_long y0, A_long x1, A_long y1, int thickness, PF_Pixel8 c)
    {
        // The all-octant integer form: err tracks both axes at once.
        const A_long dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
        const A_long sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
        A_long err = dx + dy;
        for (;;) {
            for (int ty = 0; ty < thickness; ++ty) {
                for (int tx = 0; tx < thickness; ++tx) {
                    plot(x0 + tx, y0 + ty, c);
                }
            }
            if (x0 == x1 && y0 == y1) {
                break;
            }
            const A_long e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x0 += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y0 += sy;
            }
        }
    }

    // A disc filled with `c`, or only a ring `ring` pixels wide when ring > 0.
    void disc(A_long cx, A_long cy, A_long r, int ring, PF_Pixel8 c)
    {
        const A_long inner = std::max<A_long>(r - ring, 0);
        for (A_long y = cy - r; y <= cy + r; ++y) {
            for (A_long x = cx - r; x <= cx + r; ++x) {
                const A_long d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                if (d2 <= r * r && (ring == 0 || d2 >= inner * inner)) {
                    plot(x, y, c);
                }
            }
        }
    }

    void rect(A_long x0, A_long y0, A_long x1, A_long y1, PF_Pixel8 c)
    {
        for (A_long y = y0; y < y1; ++y) {
            for (A_long x = x0; x < x1; ++x) {
                plot(x, y, c);
            }
        }
    }

private:
    A_long width_, height_;
    std::vector<PF_Pixel8> pixels_;
};

inline constexpr PF_Pixel8 rgba(int r, int g, int b, int a = 255)
{
    return PF_Pixel8{A_u_char(a), A_u_char(r), A_u_char(g), A_u_char(b)};
}

// Ink a little off black now and then, so that tolerances 0 and 6 differ.
inline PF_Pixel8 celInk(Lcg& rng)
{
    switch (rng.range(0, 4)) {
        case 0:
            return rgba(0, 0, 0);
        case 1:
            return rgba(3, 2, 4);
        case 2:
            return rgba(40, 40, 48);
        case 3:
            return rgba(20, 10, 90);
        default:
            return rgba(10, 10, 10, 200);
    }
}

inline void drawCelShapes(CelCanvas& c, Lcg& rng)
{
    const A_long w = c.width(), h = c.height();
    // A filled, outlined cel shape: skin-coloured disc with a dark ring.
    const A_long r = std::max<A_long>(std::min(w, h) / 4, 1);
    const A_long cx = rng.range(0, int(w - 1)), cy = rng.range(0, int(h - 1));
    c.disc(cx, cy, r, 0, rgba(250, 218, 196));
    c.disc(cx, cy, r, 2, celInk(rng));
    // A second, solid dark disc and a few aliased strokes at assorted slopes.
    c.disc(rng.range(0, int(w - 1)), rng.range(0, int(h - 1)), std::max<A_long>(r / 2, 1), 0,
           celInk(rng));
    for (int i = 0; i < 6; ++i) {
        c.line(rng.range(-4, int(w + 3)), rng.range(-4, int(h + 3)), rng.range(-4, int(w + 3)),
               rng.range(-4, int(h + 3)), rng.range(1, 3), celInk(rng));
    }
    // A patch in the key's test colour, green, for the non-white key case.
    const A_long gx = rng.range(0, int(w - 1)), gy = rng.range(0, int(h - 1));
    c.rect(gx, gy, gx + w / 6 + 1, gy + h / 6 + 1, rgba(0, 255, 0));
    // Transparency: a fully transparent window that keeps its colour, and a half-transparent
    // stroke.
    const A_long tx = rng.range(0, int(w - 1)), ty = rng.range(0, int(h - 1));
    c.rect(tx, ty, tx + w / 5 + 1, ty + h / 5 + 1, rgba(255, 255, 255, 0));
    c.line(0, rng.range(0, int(h - 1)), w - 1, rng.range(0, int(h - 1)), 1, rgba(30, 30, 30, 128));
    // Isolated specks, and a few near-white paper pixels.
    for (int i = 0; i < 8; ++i) {
        c.plot(rng.range(0, int(w - 1)), rng.range(0, int(h - 1)), celInk(rng));
        c.plot(rng.range(0, int(w - 1)), rng.range(0, int(h - 1)), rgba(252, 250, 251));
    }
}

// A small cel drawing of width × height from `seed`: a disc outlined in ink, a dark disc,
// aliased strokes, a green patch, a transparent window, a half-transparent stroke and specks.
// Deep frames also get colours no 8-bit frame has.
inline standin::World celTestFrame(A_long width, A_long height, bool deep, A_long rowPadding,
                                   std::uint32_t seed)
{
    CelCanvas canvas(width, height);
    Lcg rng(seed);
    drawCelShapes(canvas, rng);
    standin::World world(width, height, deep, rowPadding);
    for (A_long y = 0; y < height; ++y) {
        for (A_long x = 0; x < width; ++x) {
            const PF_Pixel8 p = canvas.at(x, y);
            if (!deep) {
                world.at<PF_Pixel8>(x, y) = p;
                continue;
            }
            // The host's own 8-to-16 widening, so white stays exactly 32768 and the
            // default white key still matches in deep frames.
            PF_Pixel16 q{widen8to16(p.alpha), widen8to16(p.red), widen8to16(p.green),
                         widen8to16(p.blue)};
            // Deep frames also get colours no 8-bit frame has: nudge the darker pixels.
            if (q.red < 16384 && q.alpha > 0) {
                q.red = A_u_short(q.red + rng.range(0, 300));
                q.blue = A_u_short(q.blue + rng.range(0, 300));
            }
            world.at<PF_Pixel16>(x, y) = q;
        }
    }
    return world;
}

// ---------------------------------------------------------------------------------------------
// Dark strokes on paper (the threaded render tests' frames).

// A frame of dark strokes and a few key-coloured and half-transparent pixels on paper, drawn
// from `seed` with a small linear congruential generator (the same frame on every platform).
inline standin::World strokeFrame(A_long width, A_long height, bool deep, std::uint32_t seed,
                                  A_long rowPadding)
{
    standin::World world(width, height, deep, rowPadding);
    Lcg rng(seed);
    auto next = [&rng] { return rng.step() >> 24; };
    for (A_long y = 0; y < height; ++y) {
        for (A_long x = 0; x < width; ++x) {
            const std::uint32_t r = next();
            // Alpha, red, green, blue in 8-bit terms: ink, paper, key red, half-white.
            const A_u_char ink = r < 90 ? 0 : 255;
            A_u_char a = 255, red = ink, green = ink, blue = ink;
            if (r >= 250) {
                green = blue = 0;
            } else if (r >= 245) {
                a = 128;
            }
            putColour(world, x, y, PF_Pixel8{a, red, green, blue});
        }
    }
    return world;
}

// ---------------------------------------------------------------------------------------------
// Small random frames (the reference comparison's): a few colours of a palette in rectangles,
// lines, stair-stepped half planes, short segments at the borders and single dots, so that
// steps, corners, thin lines and isolated pixels all occur. The frame, its tolerance and its
// extent come from one std::mt19937 sequence.

inline const PF_Pixel8 kRandomFramePalette[] = {
    {255, 0, 0, 0},       {255, 20, 30, 90},    {255, 60, 40, 30},    {255, 255, 255, 255},
    {255, 250, 240, 220}, {255, 200, 200, 200}, {255, 128, 128, 128}, {255, 220, 30, 30},
    {255, 40, 180, 60},   {128, 0, 0, 0},       {0, 255, 255, 255},   {0, 0, 0, 0},
    {40, 200, 100, 50},   {255, 3, 3, 3},       {252, 255, 255, 255}, {254, 254, 254, 254},
};

class RandomFrames {
public:
    explicit RandomFrames(std::uint32_t seed) : rng_(seed) {}

    A_long pick(A_long lo, A_long hi) { return lo + A_long(rng_() % std::uint32_t(hi - lo + 1)); }
    PF_Pixel8 colour()
    {
        return kRandomFramePalette[pick(0, A_long(std::size(kRandomFramePalette)) - 1)];
    }

    standin::World frame(bool deep, std::vector<PF_Pixel8>& used)
    {
        const A_long w = pick(1, 40);
        const A_long h = pick(1, 40);
        standin::World world(w, h, deep, 8 * pick(0, 2));
        used = {colour(), colour(), colour(), colour()};
        auto plot = [&](A_long x, A_long y, PF_Pixel8 c) {
            if (x >= 0 && x < w && y >= 0 && y < h) {
                putColour(world, x, y, c);
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

// ---------------------------------------------------------------------------------------------
// Benchmark frames: flat fills outlined by aliased dark lines 1-4 px wide (discs, ellipses and
// strokes at many angles) on white paper, with a part of the frame transparent, as an
// ink-and-paint layer often is.

struct Rgba {
    int r, g, b, a;  // 0..255
};

// Fills `world` with one opaque mid-grey, the same at both depths.
inline void fillUniformGrey(standin::World& world)
{
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) {
            if (world.deep()) {
                world.at<PF_Pixel16>(x, y) = {32768, 16448, 16448, 16448};
            } else {
                world.at<PF_Pixel8>(x, y) = {255, 128, 128, 128};
            }
        }
    }
}

// Fills `world` (8- or 16-bit) with the frame drawn from `seed`.
inline void drawSyntheticCelFrame(standin::World& world, std::uint32_t seed)
{
    const A_long w = world.width(), h = world.height();
    Lcg rng(seed);
    auto next = [&rng]() { return rng.next(); };
    auto put = [&](A_long x, A_long y, Rgba c) {
        if (x < 0 || y < 0 || x >= w || y >= h) return;
        if (world.deep()) {
            auto widen = [](int v) { return widen8to16(static_cast<A_u_char>(v)); };
            world.at<PF_Pixel16>(x, y) = {widen(c.a), widen(c.r), widen(c.g), widen(c.b)};
        } else {
            world.at<PF_Pixel8>(x, y) = {static_cast<A_u_char>(c.a), static_cast<A_u_char>(c.r),
                                         static_cast<A_u_char>(c.g), static_cast<A_u_char>(c.b)};
        }
    };
    for (A_long y = 0; y < h; ++y)
        for (A_long x = 0; x < w; ++x) put(x, y, {255, 255, 255, (x < w / 8) ? 0 : 255});

    const Rgba ink{20, 18, 24, 255};
    const long shapes = (static_cast<long>(w) * h) / 20000;
    for (long s = 0; s < shapes; ++s) {
        const double cx = next() % w, cy = next() % h;
        const double rx = 8 + next() % 90, ry = 8 + next() % 90;
        const double lineWidth = 1 + next() % 4;
        const Rgba fill{static_cast<int>(80 + next() % 170), static_cast<int>(80 + next() % 170),
                        static_cast<int>(80 + next() % 170), 255};
        const A_long x0 = static_cast<A_long>(cx - rx - 5), x1 = static_cast<A_long>(cx + rx + 5);
        const A_long y0 = static_cast<A_long>(cy - ry - 5), y1 = static_cast<A_long>(cy + ry + 5);
        for (A_long y = y0; y <= y1; ++y) {
            for (A_long x = x0; x <= x1; ++x) {
                const double dx = (x - cx) / rx, dy = (y - cy) / ry;
                const double d = std::sqrt(dx * dx + dy * dy);
                const double edge = (d - 1.0) * std::min(rx, ry);
                if (edge < -lineWidth)
                    put(x, y, fill);
                else if (edge < 0)
                    put(x, y, ink);
            }
        }
    }
    // Straight hatching strokes at assorted angles.
    const long strokes = shapes / 2;
    for (long s = 0; s < strokes; ++s) {
        const double x = next() % w, y = next() % h;
        const double angle = (next() % 360) * 3.14159265358979 / 180.0;
        const double len = 20 + next() % 150;
        const int lineWidth = 1 + next() % 3;
        for (double t = 0; t < len; t += 0.5)
            for (int k = 0; k < lineWidth; ++k)
                put(static_cast<A_long>(x + t * std::cos(angle)) + k,
                    static_cast<A_long>(y + t * std::sin(angle)), ink);
    }
}

// ---------------------------------------------------------------------------------------------
// Adds a pseudo-random grain of -3..+3 levels (8-bit units, times 128 at 16 bits), fixed by
// `seed`, to every channel, alpha included, so that neighbouring colours are near but rarely
// equal and the tolerance decides what is similar.
inline void addGrain(standin::World& world, std::uint32_t seed)
{
    Lcg rng(seed);
    auto grain = [&rng]() { return static_cast<int>((rng.step() >> 16) % 7u) - 3; };
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

}  // namespace telvix::test
