// Between the samples users hold and the host's worlds: the one place where samples become host
// channels and host channels become samples again.
//
// Users' samples are 8 or 16-bit integers (0-255, 0-65535; 10 and 12-bit files arrive widened to
// 16) or floats (0-1), with straight or associated alpha. The host's worlds hold straight colour at
// 8 bits (0-255) or 16 bits (0-32768). Going into a world, associated colour is divided by its
// alpha, floats are clipped to 0-1 and rounded to the page's integer depth, and the result is
// mapped to the host's range. Coming out, every sample the render left unchanged (its host value
// out equals its host value in) is taken from the original samples, so that it keeps its exact
// code or float value where the output holds samples as the input did; only changed samples
// carry the host's arithmetic.
#pragma once

#include <cstdint>

#include "AE_Effect.h"

namespace telvix::cli {

// Rows of samples laid out as an Image's: `width` pixels of `channels` (1 grey, 2 grey + alpha,
// 3 RGB, 4 RGBA; alpha last), channels interleaved, rows packed one after another. Sample is
// std::uint8_t or std::uint16_t (integers of `bits`: 8 or 16) or float (0-1; `bits` is the
// integer depth they are rounded to for the host).
template <typename Sample>
struct SampleRows {
    Sample* data = nullptr;
    int width = 0;
    int channels = 0;
    int bits = 8;
    bool associated = false;  // colour is multiplied by alpha
};

// Fills rows [first, first + rows) of `world` from `in`, whose data starts at row `first`.
template <typename Sample>
void samplesIntoWorld(const SampleRows<const Sample>& in, int first, int rows,
                      PF_EffectWorld& world);

// Writes rows [first, first + rows) of `world` into `out` (whose data starts at row `first`):
// integers of the world's depth (out.bits) or floats, straight or associated as `out` says.
// With `original` (the samples the world was filled from, their data starting at row `first`
// too), every sample the render left unchanged is `original`'s own, converted only where `out`
// holds samples of another kind; without it, the world's values are converted.
template <typename In, typename Out>
void worldIntoSamples(const PF_EffectWorld& world, const SampleRows<const In>* original, int first,
                      int rows, const SampleRows<Out>& out);

// Converts `rows` rows of `in` into `out` (the same channels): every sample as it stands, only
// rescaled, rounded or (un)premultiplied where `out` holds samples of another kind.
template <typename In, typename Out>
void convertSamples(const SampleRows<const In>& in, int rows, const SampleRows<Out>& out);

// With false, every conversion takes the general per-channel path, against which the tests check
// the direct loops for samples the world holds one to one (straight integers of its depth).
void useDirectConversions(bool enabled);

// A float clipped to 0-1 (NaN to 0) and rounded to an integer of `bits` (8 or 16), as
// OpenImageIO converts floats to integers.
std::uint16_t floatToCode(float value, int bits);

}  // namespace telvix::cli
