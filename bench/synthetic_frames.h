// Deterministic synthetic cel frames for benchmarks: flat fills outlined by aliased dark lines
// 1-4 px wide (discs, ellipses and strokes at many angles) on white paper, with a part of the
// frame transparent, as an ink-and-paint layer often is.
#pragma once

#include "standin_host.h"

#include <cmath>
#include <cstdint>

namespace bench {

struct Rgba {
    int r, g, b, a;  // 0..255
};

// Fills `world` with one opaque mid-grey, the same at both depths.
inline void fillUniform(standin::World& world)
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
inline void drawCelFrame(standin::World& world, std::uint32_t seed)
{
    const A_long w = world.width(), h = world.height();
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    auto put = [&](A_long x, A_long y, Rgba c) {
        if (x < 0 || y < 0 || x >= w || y >= h) return;
        if (world.deep()) {
            auto widen = [](int v) { return telvix::widen8To16(static_cast<A_u_char>(v)); };
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
                if (edge < -lineWidth) put(x, y, fill);
                else if (edge < 0) put(x, y, ink);
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

}  // namespace bench
