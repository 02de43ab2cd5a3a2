#include "test_frames.h"

#include <algorithm>
#include <cstdlib>

#include "AE_Macros.h"

namespace telvix::wintest {

namespace {

// A tiny linear congruential generator: the same numbers on every compiler and library.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed) {}
    // The next number, 24 bits wide: the low bits of an LCG are poor, so they are dropped.
    std::uint32_t next()
    {
        state_ = state_ * 1664525u + 1013904223u;
        return state_ >> 8;
    }
    // A number in [lo, hi].
    int range(int lo, int hi) { return lo + int(next() % std::uint32_t(hi - lo + 1)); }

private:
    std::uint32_t state_;
};

// Drawing happens in 8-bit colour; deep frames widen it afterwards.
class Canvas {
public:
    Canvas(A_long width, A_long height)
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

constexpr PF_Pixel8 rgba(int r, int g, int b, int a = 255)
{
    return PF_Pixel8{A_u_char(a), A_u_char(r), A_u_char(g), A_u_char(b)};
}

// Ink a little off black now and then, so that tolerances 0 and 6 differ.
PF_Pixel8 ink(Random& rng)
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

void draw(Canvas& c, Random& rng)
{
    const A_long w = c.width(), h = c.height();
    // A filled, outlined cel shape: skin-coloured disc with a dark ring.
    const A_long r = std::max<A_long>(std::min(w, h) / 4, 1);
    const A_long cx = rng.range(0, int(w - 1)), cy = rng.range(0, int(h - 1));
    c.disc(cx, cy, r, 0, rgba(250, 218, 196));
    c.disc(cx, cy, r, 2, ink(rng));
    // A second, solid dark disc and a few aliased strokes at assorted slopes.
    c.disc(rng.range(0, int(w - 1)), rng.range(0, int(h - 1)), std::max<A_long>(r / 2, 1), 0,
           ink(rng));
    for (int i = 0; i < 6; ++i) {
        c.line(rng.range(-4, int(w + 3)), rng.range(-4, int(h + 3)), rng.range(-4, int(w + 3)),
               rng.range(-4, int(h + 3)), rng.range(1, 3), ink(rng));
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
        c.plot(rng.range(0, int(w - 1)), rng.range(0, int(h - 1)), ink(rng));
        c.plot(rng.range(0, int(w - 1)), rng.range(0, int(h - 1)), rgba(252, 250, 251));
    }
}

}  // namespace

std::vector<FrameCase> frameCases()
{
    // Each case gets its own seed, so no two frames are drawn alike.
    std::vector<FrameCase> cases;
    std::uint32_t seed = 1;
    for (const bool deep : {false, true}) {
        for (const bool key : {false, true}) {
            for (const int tolerance : {0, 6, 255}) {
                for (const bool partial : {false, true}) {
                    FrameCase c;
                    c.name = std::string(deep ? "d16" : "d8") + (key ? "_key" : "_nokey") + "_tol" +
                             std::to_string(tolerance) + (partial ? "_part" : "_full");
                    // Vary the size and row padding from case to case.
                    c.width = 48 + A_long(seed % 5) * 7;
                    c.height = 40 + A_long(seed % 3) * 5;
                    c.rowPadding = (seed % 2) != 0 ? 0 : 24;
                    c.deep = deep;
                    c.partialExtent = partial;
                    c.seed = seed++;
                    c.settings.useColorKey = key;
                    c.settings.tolerance = tolerance;
                    cases.push_back(c);
                }
            }
        }
    }
    // Extras at both depths: a non-white key, a larger frame, and frames so small that every
    // pixel sits on the border.
    for (const bool deep : {false, true}) {
        const std::string depth = deep ? "d16" : "d8";
        FrameCase green;
        green.name = depth + "_greenkey_tol6_full";
        green.width = 64;
        green.height = 48;
        green.deep = deep;
        green.seed = seed++;
        green.settings.useColorKey = true;
        green.settings.keyColor = rgba(0, 255, 0);
        cases.push_back(green);

        FrameCase large;
        large.name = depth + "_large_tol6_part";
        large.width = 160;
        large.height = 120;
        large.rowPadding = 8;
        large.deep = deep;
        large.partialExtent = true;
        large.seed = seed++;
        cases.push_back(large);

        FrameCase tiny;
        tiny.name = depth + "_tiny_tol6_full";
        tiny.width = 3;
        tiny.height = 2;
        tiny.deep = deep;
        tiny.seed = seed++;
        cases.push_back(tiny);

        FrameCase single;
        single.name = depth + "_single_key_full";
        single.width = 1;
        single.height = 1;
        single.deep = deep;
        single.seed = seed++;
        single.settings.useColorKey = true;
        cases.push_back(single);
    }
    return cases;
}

standin::World makeInput(const FrameCase& frameCase)
{
    Canvas canvas(frameCase.width, frameCase.height);
    Random rng(frameCase.seed);
    draw(canvas, rng);
    standin::World world(frameCase.width, frameCase.height, frameCase.deep, frameCase.rowPadding);
    for (A_long y = 0; y < frameCase.height; ++y) {
        for (A_long x = 0; x < frameCase.width; ++x) {
            const PF_Pixel8 p = canvas.at(x, y);
            if (!frameCase.deep) {
                world.at<PF_Pixel8>(x, y) = p;
                continue;
            }
            // The host's own 8-to-16 widening, so white stays exactly 32768 and the
            // default white key still matches in deep frames.
            auto widen = [](A_u_char c) { return A_u_short(CONVERT8TO16(c)); };
            PF_Pixel16 q{widen(p.alpha), widen(p.red), widen(p.green), widen(p.blue)};
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

PF_LRect partialExtent(A_long width, A_long height)
{
    return PF_LRect{width / 5, height / 4, width * 3 / 4, height * 4 / 5};
}

}  // namespace telvix::wintest
