// Pixel primitives shared by every engine routine: lookup, neighbourhood, similarity, contrast,
// blending. Each is one template over the depth's pixel type; constants come from DepthTraits.
#pragma once

#include <array>
#include <cstddef>

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

// The neighbourhood of (x, y) in renderInfo.source; nothing is clamped or wrapped.
template <typename Pixel>
inline Neighbourhood<Pixel> gatherNeighbourhood(A_long x, A_long y,
                                                const RenderInfo<Pixel>& renderInfo)
{
    Neighbourhood<Pixel> n;
    for (A_long dy = -1; dy <= 1; ++dy) {
        for (A_long dx = -1; dx <= 1; ++dx) {
            n.entries[static_cast<std::size_t>((dy + 1) * 3 + (dx + 1))] =
                pixelAt<Pixel>(renderInfo.source, x + dx, y + dy);
        }
    }
    return n;
}

// True when both pixels are present and all four channels agree.
template <typename Pixel>
inline bool pixelsEqual(const Pixel* a, const Pixel* b)
{
    return a && b && a->alpha == b->alpha && a->red == b->red && a->green == b->green &&
           a->blue == b->blue;
}

// Copies all four channels; both pixels must be present.
template <typename Pixel>
inline void copyPixel(const Pixel* source, Pixel* destination)
{
    *destination = *source;
}

// True when both are present and every channel, alpha included, differs by at most the scaled
// tolerance. Tolerance 0 means exact equality.
template <typename Pixel>
inline bool pixelsSimilar(const Pixel* a, const Pixel* b, A_long tolerance)
{
    if (!a || !b) {
        return false;
    }
    if (tolerance == 0) {
        return pixelsEqual(a, b);
    }
    const A_long t = DepthTraits<Pixel>::scaledTolerance(tolerance);
    auto within = [t](A_long p, A_long q) { return (p > q ? p - q : q - p) <= t; };
    return within(a->red, b->red) && within(a->blue, b->blue) && within(a->green, b->green) &&
           within(a->alpha, b->alpha);
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
    const float normaliser = DepthTraits<Pixel>::alphaNormaliser;
    const float alphaA = static_cast<float>(a->alpha) * normaliser;
    const float alphaB = static_cast<float>(b->alpha) * normaliser;
    const float redA = static_cast<float>(a->red) * alphaA;
    const float greenA = static_cast<float>(a->green) * alphaA;
    const float blueA = static_cast<float>(a->blue) * alphaA;
    const float redB = static_cast<float>(b->red) * alphaB;
    const float greenB = static_cast<float>(b->green) * alphaB;
    const float blueB = static_cast<float>(b->blue) * alphaB;

    const float lumaA = (0.3f * redA + 0.59f * greenA) + 0.11f * blueA;
    const float lumaB = (0.3f * redB + 0.59f * greenB) + 0.11f * blueB;
    const float luma = lumaA - lumaB;

    // The alpha term is the raw channel difference, not normalised.
    const A_long alphaDiff = static_cast<A_long>(a->alpha) - static_cast<A_long>(b->alpha);
    float distance = (redA > redB ? redA - redB : redB - redA);
    distance = distance + static_cast<float>(alphaDiff < 0 ? -alphaDiff : alphaDiff);
    distance = distance + (blueA > blueB ? blueA - blueB : blueB - blueA);
    distance = distance + (greenA > greenB ? greenA - greenB : greenB - greenA);

    A_long t = static_cast<A_long>(distance) / 4;
    if (t == 0) {
        t = 1;
    }
    // Round the luma difference away from zero.
    A_long u = static_cast<A_long>(luma);
    if (luma != static_cast<float>(u)) {
        u += (luma > 0.0f) ? 1 : -1;
    }
    const A_long magnitude = (u < 0 ? -u : u) > t ? (u < 0 ? -u : u) : t;
    return u > 0 ? magnitude : -magnitude;
}

// a is darker than b by more than the scaled tolerance.
template <typename Pixel>
inline bool isDarker(const Pixel* a, const Pixel* b, A_long tolerance)
{
    return signedContrast(a, b) < -DepthTraits<Pixel>::scaledTolerance(tolerance);
}

// a is brighter than b by more than the scaled tolerance.
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

// Limits v to 0..clampLimit; anything not >= 0 (negative or NaN) becomes 0.
template <typename Pixel>
inline float clampChannel(float v)
{
    if (!(v >= 0.0f)) {
        return 0.0f;
    }
    return v > DepthTraits<Pixel>::clampLimit ? DepthTraits<Pixel>::clampLimit : v;
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
