// Pixel primitives shared by every engine routine: lookup, neighbourhood, similarity, contrast,
// blending. Each is one template over the depth's pixel type; constants come from DepthTraits.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "AE_Effect.h"
#include "depth_traits.h"
#include "render_info.h"

namespace telvix {

// The nine source pixels around a centre, row by row: entry (dy+1)*3 + (dx+1) is (x+dx, y+dy).
// Entries outside the world are null (absent).
template <typename Pixel>
struct Neighbourhood {
    std::array<const Pixel*, 9> entries{};
    const Pixel* operator[](A_long index) const { return entries[static_cast<std::size_t>(index)]; }
    const Pixel* centre() const { return entries[4]; }
};

// The pixel at (x, y) of `world`, or null outside it. The row offset is formed in ptrdiff_t so
// that frames larger than 2 GiB address correctly.
template <typename Pixel>
inline Pixel* pixelAt(const PF_EffectWorld* world, A_long x, A_long y)
{
    if (x < 0 || y < 0 || x >= world->width || y >= world->height) {
        return nullptr;
    }
    auto* bytes = reinterpret_cast<unsigned char*>(world->data);
    return reinterpret_cast<Pixel*>(bytes + static_cast<std::ptrdiff_t>(y) * world->rowbytes +
                                    static_cast<std::ptrdiff_t>(x) *
                                        static_cast<std::ptrdiff_t>(sizeof(Pixel)));
}

// The neighbourhood of (x, y) in renderInfo.source; nothing is clamped or wrapped. The row
// offsets are formed once and each entry is tested against the world's bounds by its row and
// column, which gives exactly pixelAt's result for every entry.
template <typename Pixel>
inline Neighbourhood<Pixel> gatherNeighbourhood(A_long x, A_long y,
                                                const RenderInfo<Pixel>& renderInfo)
{
    const PF_EffectWorld* world = renderInfo.source;
    Neighbourhood<Pixel> n;
    auto* bytes = reinterpret_cast<unsigned char*>(world->data);
    const std::ptrdiff_t rowbytes = world->rowbytes;
    const std::ptrdiff_t pixelSize = static_cast<std::ptrdiff_t>(sizeof(Pixel));
    // The centre's byte offset; (x, y) may itself lie outside, so only present entries are
    // turned into addresses.
    const std::ptrdiff_t centre =
        static_cast<std::ptrdiff_t>(y) * rowbytes + static_cast<std::ptrdiff_t>(x) * pixelSize;
    const bool column[3] = {x - 1 >= 0 && x - 1 < world->width, x >= 0 && x < world->width,
                            x + 1 >= 0 && x + 1 < world->width};
    const bool row[3] = {y - 1 >= 0 && y - 1 < world->height, y >= 0 && y < world->height,
                         y + 1 >= 0 && y + 1 < world->height};
    for (int dy = 0; dy < 3; ++dy) {
        if (!row[dy]) {
            continue;
        }
        for (int dx = 0; dx < 3; ++dx) {
            if (column[dx]) {
                n.entries[static_cast<std::size_t>(dy) * 3 + static_cast<std::size_t>(dx)] =
                    reinterpret_cast<Pixel*>(bytes +
                                             (centre + (dy - 1) * rowbytes + (dx - 1) * pixelSize));
            }
        }
    }
    return n;
}

// True when two present pixels agree in all four channels. A pixel is four channels with no
// padding, so this is one compare of a machine word of its size (fixed-size copies, which the
// compiler turns into plain loads rather than a library call).
template <typename Pixel>
inline bool samePixelWord(const Pixel* a, const Pixel* b)
{
    using Word = typename DepthTraits<Pixel>::Word;
    Word u;
    Word v;
    std::memcpy(&u, a, sizeof(Word));
    std::memcpy(&v, b, sizeof(Word));
    return u == v;
}

// True when both pixels are present and all four channels agree.
template <typename Pixel>
inline bool pixelsEqual(const Pixel* a, const Pixel* b)
{
    return a && b && samePixelWord(a, b);
}

// True when both are present and every channel, alpha included, differs by at most the scaled
// tolerance. Tolerance 0 means exact equality (no difference exceeds 0). Equal pixels, the
// common case inside flat fills, are settled by one byte compare.
template <typename Pixel>
inline bool pixelsSimilar(const Pixel* a, const Pixel* b, A_long tolerance)
{
    if (!a || !b) {
        return false;
    }
    if (samePixelWord(a, b)) {
        return tolerance >= 0;  // every difference is 0
    }
    const A_long t = DepthTraits<Pixel>::scaledTolerance(tolerance);
    auto within = [t](A_long p, A_long q) { return (p > q ? p - q : q - p) <= t; };
    return within(a->red, b->red) && within(a->blue, b->blue) && within(a->green, b->green) &&
           within(a->alpha, b->alpha);
}

// The luma weights of red, green and blue: in hundredths, and as the single-precision fractions
// the contrast multiplies by. The exact contrast of opaque 8-bit pixels
// (lanes/opaque8_contrast_lanes.h) works in the hundredths, which holds because each fraction is
// its hundredths / 100 rounded once.
struct LumaWeight {
    int hundredths;
    float fraction;
};
struct LumaWeights {
    LumaWeight red, green, blue;
};
inline constexpr LumaWeights kLuma{{30, 0.3f}, {59, 0.59f}, {11, 0.11f}};
inline constexpr int kLumaWhole = 100;  // the whole of the weights, in hundredths

constexpr bool fractionIsHundredths(LumaWeight w)
{
    return static_cast<float>(w.hundredths) / static_cast<float>(kLumaWhole) == w.fraction;
}
static_assert(fractionIsHundredths(kLuma.red) && fractionIsHundredths(kLuma.green) &&
                  fractionIsHundredths(kLuma.blue),
              "each fraction is its whole-number weight / 100, rounded once");
static_assert(kLuma.red.hundredths + kLuma.green.hundredths + kLuma.blue.hundredths == kLumaWhole,
              "the weights sum to one");

// The per-pixel terms of signedContrast: the premultiplied colour and its luma. They depend on
// one pixel only, so a caller that compares one pixel with several others forms them once.
struct ContrastTerms {
    float red, green, blue, luma;
    A_long alpha;
};

template <typename Pixel>
inline ContrastTerms contrastTerms(const Pixel& p)
{
    const float alpha = static_cast<float>(p.alpha) * DepthTraits<Pixel>::alphaNormaliser;
    ContrastTerms t;
    t.red = static_cast<float>(p.red) * alpha;
    t.green = static_cast<float>(p.green) * alpha;
    t.blue = static_cast<float>(p.blue) * alpha;
    t.luma = (kLuma.red.fraction * t.red + kLuma.green.fraction * t.green) +
             kLuma.blue.fraction * t.blue;
    t.alpha = p.alpha;
    return t;
}

// signedContrast of two present, unequal pixels a and b, in parts: the luma difference a - b
// rounded away from zero (lumaSteps) and the magnitude. Both parts serve both orders: b against a
// has lumaSteps negated and the same magnitude, as every term is a difference or its absolute
// value.
struct ContrastParts {
    A_long lumaSteps;
    A_long magnitude;
    // signedContrast(a, b): the magnitude with lumaSteps's sign, negative when lumaSteps is 0.
    A_long forward() const { return lumaSteps > 0 ? magnitude : -magnitude; }
    // signedContrast(b, a).
    A_long reverse() const { return -lumaSteps > 0 ? magnitude : -magnitude; }
};

// Written without data-dependent branches: which of two pixels is brighter is as likely as not.
// |p - q| is formed as fabs(p - q), which equals (p > q ? p - q : q - p) for every finite p, q.
inline ContrastParts contrastPartsOfTerms(const ContrastTerms& a, const ContrastTerms& b)
{
    const float luma = a.luma - b.luma;
    // The alpha term is the raw channel difference, not normalised.
    const A_long alphaDiff = a.alpha - b.alpha;
    float distance = std::fabs(a.red - b.red);
    distance = distance + static_cast<float>(alphaDiff < 0 ? -alphaDiff : alphaDiff);
    distance = distance + std::fabs(a.blue - b.blue);
    distance = distance + std::fabs(a.green - b.green);

    const A_long quarter = static_cast<A_long>(distance) / 4;
    const A_long t = quarter > 1 ? quarter : 1;
    // Round the luma difference away from zero.
    A_long u = static_cast<A_long>(luma);
    const A_long away = luma > 0.0f ? 1 : -1;
    u += luma != static_cast<float>(u) ? away : 0;
    const A_long absU = u < 0 ? -u : u;
    return ContrastParts{u, absU > t ? absU : t};
}

// signedContrast of two present, unequal pixels from their terms.
inline A_long signedContrastOfTerms(const ContrastTerms& a, const ContrastTerms& b)
{
    return contrastPartsOfTerms(a, b).forward();
}

// Signed brightness contrast, positive when a is brighter. 0 for absent or equal pixels,
// otherwise a magnitude of at least 1 and at least the colour distance / 4: the luma difference
// (premultiplied, rounded away from zero) or the colour distance, whichever is larger, with the
// luma's sign (negative when the luma difference rounds to 0).
template <typename Pixel>
inline A_long signedContrast(const Pixel* a, const Pixel* b)
{
    if (!a || !b || pixelsEqual(a, b)) {
        return 0;
    }
    return signedContrastOfTerms(contrastTerms(*a), contrastTerms(*b));
}

// a is darker than b by more than the scaled tolerance.
template <typename Pixel>
inline bool isDarker(const Pixel* a, const Pixel* b, A_long tolerance)
{
    return signedContrast(a, b) < -DepthTraits<Pixel>::scaledTolerance(tolerance);
}

// a is brighter than b by more than the scaled tolerance. This and similarOrBrighter are the
// plain forms of step measurement's side tests, which it answers side by side from
// contrastWithFour; the tests hold the two against each other.
template <typename Pixel>
inline bool isBrighter(const Pixel* a, const Pixel* b, A_long tolerance)
{
    return signedContrast(a, b) > DepthTraits<Pixel>::scaledTolerance(tolerance);
}

// b is as dark as a (similar) or darker.
template <typename Pixel>
inline bool similarOrBrighter(const Pixel* a, const Pixel* b, A_long tolerance)
{
    return pixelsSimilar(a, b, tolerance) || isBrighter(a, b, tolerance);
}

// Limits v to 0..clampLimit; anything not > 0 (negative, -0 or NaN) becomes +0. Both selections
// have the form of the processor's single-precision max and min, so they need no branch. (Giving
// +0 for -0 changes no result: a channel of -0 truncates to 0, and a blend's combined alpha is a
// sum of non-negative products, never -0.)
template <typename Pixel>
inline float clampChannel(float v)
{
    const float positive = v > 0.0f ? v : 0.0f;
    return positive < DepthTraits<Pixel>::clampLimit ? positive : DepthTraits<Pixel>::clampLimit;
}

// out = alpha-weighted blend of p1 (weight w1) and p2 (weight w2); alpha is the weighted sum
// capped at channelMax, colour the alpha-weighted mean, each truncated. All inputs are read
// before out is written, so out may be p1 or p2.
template <typename Pixel>
inline void blendPixels(const Pixel* p1, float w1, const Pixel* p2, float w2, Pixel* out)
{
    using Channel = typename DepthTraits<Pixel>::Channel;
    const Pixel a = *p1;
    const Pixel b = *p2;
    const float alpha1 = static_cast<float>(a.alpha);
    const float alpha2 = static_cast<float>(b.alpha);
    const float combined = clampChannel<Pixel>(alpha1 * w1 + alpha2 * w2);
    const float k = 1.0f / combined;  // infinite for a fully transparent result
    auto mix = [&](Channel c1, Channel c2) {
        const float v =
            (static_cast<float>(c2) * w2 * alpha2 + static_cast<float>(c1) * w1 * alpha1) * k;
        return static_cast<Channel>(clampChannel<Pixel>(v));
    };
    out->red = mix(a.red, b.red);
    out->green = mix(a.green, b.green);
    out->blue = mix(a.blue, b.blue);
    out->alpha = static_cast<Channel>(combined);
}

}  // namespace telvix
