#include "sample_exchange.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "channel_convert.h"

// SSE2 for float RGBA pixels on x86-64; TELVIX_FORCE_SCALAR_LANES (the build option
// TELVIX_SCALAR_LANES) takes the scalar loops there too, so that both stay built and tested.
#if (defined(__SSE2__) || defined(_M_X64)) && !defined(TELVIX_FORCE_SCALAR_LANES)
#include <emmintrin.h>
#define TELVIX_EXCHANGE_SSE2 1
#endif

namespace telvix::cli {
namespace {

template <typename Sample>
constexpr bool kFloat = std::is_floating_point_v<Sample>;

// fileToHost16's shifts give the rounded-up division it stands for, for every 16-bit value.
constexpr bool fileToHost16Exact()
{
    for (std::uint32_t p = 0; p <= kFileMax16; ++p) {
        if (fileToHost16(static_cast<std::uint16_t>(p)) != (p * kHostMax16 + 32767u) / kFileMax16) {
            return false;
        }
    }
    return true;
}
static_assert(fileToHost16Exact());

constexpr std::uint32_t maxOf(int bits) { return bits == 16 ? kFileMax16 : kMax8; }

// A float clipped to 0-1 (NaN to 0) and rounded to an integer of `bits`: truncating
// v * max + 0.5 is OpenImageIO's own rounding, matched bit for bit (and v is never negative).
// Written as a maximum and a minimum (NaN fails the first comparison) and a conversion through
// a 32-bit int (v * max + 0.5 is at most 65535.5), which vector units do.
inline std::uint16_t roundedCode(float value, int bits)
{
    float v = value > 0.0f ? value : 0.0f;
    v = v < 1.0f ? v : 1.0f;
    const auto max = static_cast<float>(maxOf(bits));
    // NOLINTNEXTLINE(bugprone-incorrect-roundings)
    return static_cast<std::uint16_t>(static_cast<std::int32_t>(v * max + 0.5f));
}

// Channel `i` of a pixel of `channels` as RGBA: grey stands for red, green and blue; alpha is
// index 3, -1 where the pixel has none.
int sourceIndex(int i, int channels)
{
    const bool alpha = channels == 2 || channels == 4;
    if (i == 3) return alpha ? channels - 1 : -1;
    return channels <= 2 ? 0 : i;
}

// Straight channel `i` (0-2 colour, 3 alpha) of the pixel at `p` as an integer of `bits`.
// Associated colour is divided by alpha (and taken as it is where alpha is 0, as compositing
// tools unpremultiply); floats are clipped to 0-1 and rounded; a missing alpha is opaque.
template <typename Sample>
std::uint32_t straightCode(const Sample* p, const SampleRows<const Sample>& layout, int i, int bits)
{
    const int at = sourceIndex(i, layout.channels);
    const int alphaAt = sourceIndex(3, layout.channels);
    if constexpr (kFloat<Sample>) {
        if (at < 0) return maxOf(bits);
        float v = p[at];
        if (i < 3 && layout.associated && alphaAt >= 0) {
            const float a = p[alphaAt];
            if (a > 0.0f) v = v / a;
        }
        return roundedCode(v, bits);
    } else {
        const std::uint32_t max = maxOf(layout.bits);
        std::uint32_t v = at < 0 ? max : std::uint32_t{p[at]};
        if (i < 3 && layout.associated && alphaAt >= 0) {
            const std::uint32_t a = p[alphaAt];
            if (a != 0) v = std::min(max, (v * max + a / 2) / a);
        }
        if (layout.bits == bits) return v;
        // 8 to 16 bits repeats the byte; 16 to 8 rounds to nearest.
        return bits == 16 ? v * 257u : (v * kMax8 + 32767u) / kFileMax16;
    }
}

// Straight channel `i` of the pixel at `p` as a float (0-1 for integers; floats as they stand,
// associated colour divided by alpha).
template <typename Sample>
float straightFloat(const Sample* p, const SampleRows<const Sample>& layout, int i)
{
    const int at = sourceIndex(i, layout.channels);
    if constexpr (kFloat<Sample>) {
        if (at < 0) return 1.0f;
        float v = p[at];
        const int alphaAt = sourceIndex(3, layout.channels);
        if (i < 3 && layout.associated && alphaAt >= 0) {
            const float a = p[alphaAt];
            if (a > 0.0f) v = v / a;
        }
        return v;
    } else {
        // Divided, not multiplied by the reciprocal: the nearest float to code / max, which
        // rounds back to the code.
        return static_cast<float>(straightCode(p, layout, i, layout.bits)) /
               static_cast<float>(maxOf(layout.bits));
    }
}

// A host channel of a world of `deep` depth from an integer of `bits`.
std::uint16_t codeToHost(std::uint32_t code, int bits, bool deep)
{
    const auto c = static_cast<std::uint16_t>(code);
    if (deep) return bits == 8 ? widen8To16(static_cast<std::uint8_t>(c)) : fileToHost16(c);
    return bits == 8 ? c : narrow16To8(fileToHost16(c));
}

// A host channel as an integer of the world's depth.
std::uint32_t hostToCode(std::uint16_t channel, bool deep)
{
    return deep ? hostToFile16(channel) : channel;
}

// The RGBA channels of a host pixel.
struct HostPixel {
    std::uint16_t c[4];
};

// The first pixel of row y. Rows are `rowbytes` apart and may be padded, so the address is
// worked out in bytes, in pointer-sized arithmetic so that large frames cannot overflow.
template <typename Pixel>
Pixel* rowOf(const PF_EffectWorld& world, int y)
{
    auto* base = reinterpret_cast<std::uint8_t*>(world.data);
    return reinterpret_cast<Pixel*>(base + std::ptrdiff_t(y) * world.rowbytes);
}

// A pixel's four host channels as the world of `deep` depth would hold them.
template <typename Sample>
HostPixel toHost(const Sample* p, const SampleRows<const Sample>& layout, bool deep)
{
    HostPixel h{};
    for (int i = 0; i < 4; ++i) {
        h.c[i] = codeToHost(straightCode(p, layout, i, layout.bits), layout.bits, deep);
    }
    return h;
}

// Writes one output pixel. Channels whose bit is set in `changed` (bit i: RGBA channel i) take
// `codes[i]`, an integer of `codeBits`; the others come from the original pixel `p`, copied
// where the output holds samples as the input did.
template <typename In, typename Out>
void writePixel(const In* p, const SampleRows<const In>* layout, unsigned changed,
                const std::uint32_t* codes, int codeBits, const SampleRows<Out>& out, Out* dst)
{
    const bool outAlpha = out.channels == 2 || out.channels == 4;
    const int colours = out.channels <= 2 ? 1 : 3;
    const bool sameKind =
        layout != nullptr && kFloat<In> == kFloat<Out> && (kFloat<In> || layout->bits == out.bits);
    const bool copies = sameKind && layout->associated == out.associated;
    const auto value = [&](int i) -> Out {
        if ((changed >> i & 1u) != 0 || layout == nullptr) {
            if constexpr (kFloat<Out>) {
                return static_cast<float>(codes[i]) * (1.0f / static_cast<float>(maxOf(codeBits)));
            } else {
                return static_cast<Out>(codes[i]);
            }
        }
        const int at = sourceIndex(i, layout->channels);
        if (copies && at >= 0) return static_cast<Out>(p[at]);
        if constexpr (kFloat<Out>) {
            return straightFloat(p, *layout, i);
        } else {
            return static_cast<Out>(straightCode(p, *layout, i, out.bits));
        }
    };
    Out alpha{};
    if (outAlpha) {
        alpha = value(3);
        dst[out.channels - 1] = alpha;
    }
    for (int i = 0; i < colours; ++i) {
        const bool fromOriginal = (changed >> i & 1u) == 0 && layout != nullptr;
        Out v = value(i);
        // A copied sample is already in the output's convention.
        if (out.associated && outAlpha && !(fromOriginal && copies)) {
            if constexpr (kFloat<Out>) {
                v = v * alpha;
            } else {
                const std::uint32_t max = maxOf(out.bits);
                v = static_cast<Out>((std::uint32_t{v} * alpha + max / 2) / max);
            }
        }
        dst[i] = v;
    }
}

template <typename Sample>
const Sample* pixelAt(const SampleRows<const Sample>& rows, int x, int y)
{
    return rows.data + (static_cast<std::size_t>(y) * static_cast<std::size_t>(rows.width) +
                        static_cast<std::size_t>(x)) *
                           static_cast<std::size_t>(rows.channels);
}

template <typename Sample>
Sample* pixelAt(const SampleRows<Sample>& rows, int x, int y)
{
    return rows.data + (static_cast<std::size_t>(y) * static_cast<std::size_t>(rows.width) +
                        static_cast<std::size_t>(x)) *
                           static_cast<std::size_t>(rows.channels);
}

// Samples that the world holds channel for channel: straight RGB or RGBA integers of the world's
// own depth. Into the world each channel is codeToHost of its sample (a missing alpha opaque).
// These loops are the general path's arithmetic for that case, written so that the compiler can
// vectorise them (checked equal to the general path in the tests).
std::atomic<bool> gDirect{true};

template <typename Sample>
bool oneToOne(const SampleRows<Sample>& rows, bool deep)
{
    return gDirect.load(std::memory_order_relaxed) && !kFloat<std::remove_const_t<Sample>> &&
           (rows.channels == 3 || rows.channels == 4) && !rows.associated &&
           rows.bits == (deep ? 16 : 8) && sizeof(Sample) == (deep ? 2u : 1u);
}

template <typename Pixel, typename Sample>
void fillRowOneToOne(const Sample* in, int width, int channels, Pixel* row)
{
    using Channel = decltype(Pixel::red);
    constexpr bool deep = sizeof(Channel) == 2;
    const auto host = [](Sample c) -> Channel {
        if constexpr (deep) {
            return static_cast<Channel>(fileToHost16(static_cast<std::uint16_t>(c)));
        } else {
            return static_cast<Channel>(c);
        }
    };
    constexpr auto opaque = static_cast<Channel>(deep ? kHostMax16 : kMax8);
    if (channels == 4) {
        for (int x = 0; x < width; ++x) {
            const Sample* p = in + std::size_t(x) * 4u;
            row[x] = Pixel{host(p[3]), host(p[0]), host(p[1]), host(p[2])};
        }
    } else {
        for (int x = 0; x < width; ++x) {
            const Sample* p = in + std::size_t(x) * 3u;
            row[x] = Pixel{opaque, host(p[0]), host(p[1]), host(p[2])};
        }
    }
}

// Out of the world: hostToCode of each channel. At 8 bits that is the sample itself; at 16 bits
// several codes share a host value, so a channel whose host value is its original's (`original`,
// when given) is the original sample.
template <std::size_t N, typename Pixel, typename Sample>
void readRowOneToOne(const Pixel* row, int width, const Sample* original, Sample* out)
{
    constexpr bool deep = sizeof(decltype(Pixel::red)) == 2;
    const auto code = [](auto h) -> Sample {
        if constexpr (deep) {
            return static_cast<Sample>(hostToFile16(h));
        } else {
            return static_cast<Sample>(h);
        }
    };
    if (!deep || original == nullptr) {
        for (int x = 0; x < width; ++x) {
            Sample* d = out + std::size_t(x) * N;
            d[0] = code(row[x].red);
            d[1] = code(row[x].green);
            d[2] = code(row[x].blue);
            if constexpr (N == 4) d[3] = code(row[x].alpha);
        }
        return;
    }
    // The sample for host value h whose original sample was `was`.
    const auto keep = [&code](auto h, Sample was) -> Sample {
        return fileToHost16(was) == h ? was : code(h);
    };
    for (int x = 0; x < width; ++x) {
        Sample* d = out + std::size_t(x) * N;
        const Sample* o = original + std::size_t(x) * N;
        d[0] = keep(row[x].red, o[0]);
        d[1] = keep(row[x].green, o[1]);
        d[2] = keep(row[x].blue, o[2]);
        if constexpr (N == 4) d[3] = keep(row[x].alpha, o[3]);
    }
}

// Floats into a 16-bit world and back, straight or associated, RGB or RGBA: the general path's
// arithmetic for that case (the same operations in the same order), in loops without calls.
template <typename Sample>
bool floatDirect(const SampleRows<Sample>& rows, bool deep)
{
    // Associated RGB (colour said to be multiplied by an alpha it lacks) is left to the general
    // path.
    return gDirect.load(std::memory_order_relaxed) && kFloat<std::remove_const_t<Sample>> && deep &&
           rows.bits == 16 && (rows.channels == 4 || (rows.channels == 3 && !rows.associated));
}

// Rows are done in chunks: the codes first, sample by sample in the input's order (a loop of
// one operation per sample, which vector units do), then moved into the world's channel order.
constexpr int kFloatChunk = 256;

template <std::size_t N>
void fillRowFloat(const float* in, int width, bool associated, PF_Pixel16* row)
{
    std::uint16_t host[kFloatChunk * N];
    for (int x0 = 0; x0 < width; x0 += kFloatChunk) {
        const int count = std::min(kFloatChunk, width - x0);
        const float* p = in + std::size_t(x0) * N;
        const std::size_t samples = std::size_t(count) * N;
        if (N == 4 && associated) {
            // Colour divided by its alpha where alpha is above 0; a division by 1 gives the
            // value itself, so every sample takes one.
            for (std::size_t i = 0; i < samples; ++i) {
                const float a = p[i | 3u];
                const float d = (i & 3u) != 3u && a > 0.0f ? a : 1.0f;
                host[i] = fileToHost16(roundedCode(p[i] / d, 16));
            }
        } else {
            for (std::size_t i = 0; i < samples; ++i) {
                host[i] = fileToHost16(roundedCode(p[i], 16));
            }
        }
        PF_Pixel16* out = row + x0;
        for (int x = 0; x < count; ++x) {
            const std::uint16_t* h = host + std::size_t(x) * N;
            const auto alpha = N == 4 ? h[N - 1] : static_cast<std::uint16_t>(kHostMax16);
            out[x] = PF_Pixel16{alpha, h[0], h[1], h[2]};
        }
    }
}

template <std::size_t N>
void readRowFloat(const PF_Pixel16* row, int width, const float* original, bool associated,
                  float* out)
{
    const float scale = 1.0f / static_cast<float>(kFileMax16);
    const auto host = [](float v) -> A_u_short { return fileToHost16(roundedCode(v, 16)); };
    const auto value = [scale](A_u_short h) { return static_cast<float>(hostToFile16(h)) * scale; };
    for (int x = 0; x < width; ++x) {
        const float* o = original + std::size_t(x) * N;
        float* d = out + std::size_t(x) * N;
        const A_u_short now[3] = {row[x].red, row[x].green, row[x].blue};
        if constexpr (N == 4) {
            const float a = o[3];
            const bool alphaChanged = row[x].alpha != host(a);
            const float alpha = alphaChanged ? value(row[x].alpha) : a;
            const bool divide = associated && a > 0.0f;
            for (std::size_t i = 0; i < 3; ++i) {
                const bool changed =
                    now[i] != host(divide ? o[i] / a : o[i]) || (associated && alphaChanged);
                d[i] = !changed ? o[i] : associated ? value(now[i]) * alpha : value(now[i]);
            }
            d[3] = alpha;
        } else {
            for (std::size_t i = 0; i < 3; ++i) {
                d[i] = now[i] != host(o[i]) ? value(now[i]) : o[i];
            }
        }
    }
}

#if TELVIX_EXCHANGE_SSE2
// The lanes' forms of roundedCode(v, 16) then fileToHost16, and of hostToFile16 then the float
// of code / 65535 as writePixel makes it: the same operations on each lane. maxps and minps
// answer their second operand when the first is NaN or when both are zeros, as the scalar
// comparisons do.
inline __m128i hostLanes(__m128 v)
{
    v = _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(1.0f));
    const __m128i c = _mm_cvttps_epi32(
        _mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(static_cast<float>(kFileMax16))), _mm_set1_ps(0.5f)));
    const __m128i x = _mm_add_epi32(_mm_slli_epi32(c, 15), _mm_set1_epi32(32767));
    return _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(x, _mm_srli_epi32(x, 16)), _mm_set1_epi32(1)),
                          16);
}

inline __m128 valueLanes(__m128i h)
{
    const __m128i max = _mm_set1_epi32(static_cast<int>(kHostMax16));
    const __m128i above = _mm_cmpgt_epi32(h, max);
    const __m128i v = _mm_or_si128(_mm_and_si128(above, max), _mm_andnot_si128(above, h));
    const __m128i times = _mm_sub_epi32(_mm_slli_epi32(v, 16), v);  // v * 65535
    const __m128i code = _mm_srli_epi32(_mm_add_epi32(times, _mm_set1_epi32(16384)), 15);
    return _mm_mul_ps(_mm_cvtepi32_ps(code), _mm_set1_ps(1.0f / static_cast<float>(kFileMax16)));
}

// Colour lanes divided by the alpha lane where it is above 0 (straight: by 1, which is exact).
inline __m128 straightLanes(__m128 v, bool associated)
{
    if (!associated) return v;
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 a = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3));
    const __m128 colour = _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1));
    const __m128 divide = _mm_and_ps(_mm_cmpgt_ps(a, _mm_setzero_ps()), colour);
    return _mm_div_ps(v, _mm_or_ps(_mm_and_ps(divide, a), _mm_andnot_ps(divide, one)));
}

inline __m128 select(__m128 mask, __m128 a, __m128 b)
{
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

// Float RGBA into a 16-bit world, two pixels a step.
void fillRowFloatLanes(const float* in, int width, bool associated, PF_Pixel16* row)
{
    const __m128i bias = _mm_set1_epi32(32768);
    int x = 0;
    for (; x + 2 <= width; x += 2) {
        const __m128i h0 =
            hostLanes(straightLanes(_mm_loadu_ps(in + std::size_t(x) * 4), associated));
        const __m128i h1 =
            hostLanes(straightLanes(_mm_loadu_ps(in + std::size_t(x) * 4 + 4), associated));
        // RGBA to the world's ARGB, then to 16 bits: values up to 32768 are moved down by 32768
        // for the signed pack and back up by flipping the top bit.
        const __m128i a0 = _mm_sub_epi32(_mm_shuffle_epi32(h0, _MM_SHUFFLE(2, 1, 0, 3)), bias);
        const __m128i a1 = _mm_sub_epi32(_mm_shuffle_epi32(h1, _MM_SHUFFLE(2, 1, 0, 3)), bias);
        const __m128i packed = _mm_xor_si128(_mm_packs_epi32(a0, a1), _mm_set1_epi16(-32768));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), packed);
    }
    if (x < width) fillRowFloat<4>(in + std::size_t(x) * 4, width - x, associated, row + x);
}

// A 16-bit world's row into float RGBA, every unchanged channel the original's sample.
void readRowFloatLanes(const PF_Pixel16* row, int width, const float* original, bool associated,
                       float* out)
{
    const __m128 alphaLane = _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0));
    for (int x = 0; x < width; ++x) {
        const __m128 o = _mm_loadu_ps(original + std::size_t(x) * 4);
        std::uint64_t bits;
        std::memcpy(&bits, row + x, sizeof bits);
        // ARGB channels to 32-bit lanes in RGBA order.
        const __m128i argb = _mm_unpacklo_epi16(_mm_cvtsi64_si128(static_cast<long long>(bits)),
                                                _mm_setzero_si128());
        const __m128i now = _mm_shuffle_epi32(argb, _MM_SHUFFLE(0, 3, 2, 1));
        const __m128i was = hostLanes(straightLanes(o, associated));
        __m128 changed =
            _mm_castsi128_ps(_mm_xor_si128(_mm_cmpeq_epi32(now, was), _mm_set1_epi32(-1)));
        const __m128 alphaChanged = _mm_shuffle_ps(changed, changed, _MM_SHUFFLE(3, 3, 3, 3));
        const __m128 value = valueLanes(now);
        const __m128 alpha = select(alphaChanged, value, o);
        const __m128 a = _mm_shuffle_ps(alpha, alpha, _MM_SHUFFLE(3, 3, 3, 3));
        __m128 result = value;
        if (associated) {
            changed = _mm_or_ps(changed, alphaChanged);
            result = _mm_mul_ps(value, a);
        }
        result = select(changed, result, o);
        _mm_storeu_ps(out + std::size_t(x) * 4, select(alphaLane, alpha, result));
    }
}
#endif

template <typename Pixel, typename Sample>
void fillRows(const SampleRows<const Sample>& in, int first, int rows, PF_EffectWorld& world)
{
    const bool deep = PF_WORLD_IS_DEEP(&world);
    const bool direct = oneToOne(in, deep);
    for (int y = 0; y < rows; ++y) {
        Pixel* row = rowOf<Pixel>(world, first + y);
        if constexpr (kFloat<Sample> && std::is_same_v<Pixel, PF_Pixel16>) {
            if (floatDirect(in, deep)) {
                if (in.channels == 4) {
#if TELVIX_EXCHANGE_SSE2
                    fillRowFloatLanes(pixelAt(in, 0, y), in.width, in.associated, row);
#else
                    fillRowFloat<4>(pixelAt(in, 0, y), in.width, in.associated, row);
#endif
                } else {
                    fillRowFloat<3>(pixelAt(in, 0, y), in.width, in.associated, row);
                }
                continue;
            }
        }
        if (direct) {
            fillRowOneToOne(pixelAt(in, 0, y), in.width, in.channels, row);
            continue;
        }
        for (int x = 0; x < in.width; ++x) {
            const HostPixel h = toHost(pixelAt(in, x, y), in, deep);
            Pixel& p = row[x];
            p.red = static_cast<decltype(p.red)>(h.c[0]);
            p.green = static_cast<decltype(p.red)>(h.c[1]);
            p.blue = static_cast<decltype(p.red)>(h.c[2]);
            p.alpha = static_cast<decltype(p.red)>(h.c[3]);
        }
    }
}

template <typename Pixel, typename In, typename Out>
void readRows(const PF_EffectWorld& world, const SampleRows<const In>* original, int first,
              int rows, const SampleRows<Out>& out)
{
    constexpr bool deep = sizeof(Pixel) == sizeof(PF_Pixel16);
    constexpr int bits = deep ? 16 : 8;
    const bool grey = out.channels <= 2;
    const bool direct =
        oneToOne(out, deep) &&
        (original == nullptr || (oneToOne(*original, deep) && original->channels == out.channels));
    const bool floats = original != nullptr && kFloat<In> && kFloat<Out> &&
                        floatDirect(*original, deep) && original->channels == out.channels &&
                        original->associated == out.associated;
    for (int y = 0; y < rows; ++y) {
        const Pixel* row = rowOf<const Pixel>(world, first + y);
        if constexpr (kFloat<In> && kFloat<Out> && deep) {
            if (floats) {
                const float* was = pixelAt(*original, 0, y);
                if (out.channels == 4) {
#if TELVIX_EXCHANGE_SSE2
                    readRowFloatLanes(row, world.width, was, out.associated, pixelAt(out, 0, y));
#else
                    readRowFloat<4>(row, world.width, was, out.associated, pixelAt(out, 0, y));
#endif
                } else {
                    readRowFloat<3>(row, world.width, was, out.associated, pixelAt(out, 0, y));
                }
                continue;
            }
        }
        if constexpr (std::is_same_v<In, Out>) {
            if (direct) {
                const In* was = original != nullptr ? pixelAt(*original, 0, y) : nullptr;
                if (out.channels == 4) {
                    readRowOneToOne<4>(row, world.width, was, pixelAt(out, 0, y));
                } else {
                    readRowOneToOne<3>(row, world.width, was, pixelAt(out, 0, y));
                }
                continue;
            }
        }
        for (int x = 0; x < world.width; ++x) {
            const HostPixel now{{row[x].red, row[x].green, row[x].blue, row[x].alpha}};
            const In* p = original != nullptr ? pixelAt(*original, x, y) : nullptr;
            unsigned changed = 0xFu;
            if (original != nullptr) {
                const HostPixel was = toHost(p, *original, deep);
                changed = (now.c[0] != was.c[0] ? 1u : 0u) | (now.c[1] != was.c[1] ? 2u : 0u) |
                          (now.c[2] != was.c[2] ? 4u : 0u) | (now.c[3] != was.c[3] ? 8u : 0u);
                // Grey is one sample for red, green and blue; associated colour depends on alpha.
                if (grey && (changed & 7u) != 0) changed |= 7u;
                if (out.associated && (changed & 8u) != 0) changed |= 7u;
            }
            std::uint32_t codes[4];
            for (int i = 0; i < 4; ++i) codes[i] = hostToCode(now.c[i], deep);
            // A grey output is the rounded mean of red, green and blue: a grey input gives equal
            // ones, and only a keyed colour that is not grey makes them differ.
            if (grey) codes[0] = (codes[0] + codes[1] + codes[2] + 1u) / 3u;
            writePixel(p, original, changed, codes, bits, out, pixelAt(out, x, y));
        }
    }
}

}  // namespace

void useDirectConversions(bool enabled) { gDirect.store(enabled); }

std::uint16_t floatToCode(float value, int bits) { return roundedCode(value, bits); }

template <typename Sample>
void samplesIntoWorld(const SampleRows<const Sample>& in, int first, int rows,
                      PF_EffectWorld& world)
{
    if (PF_WORLD_IS_DEEP(&world)) {
        fillRows<PF_Pixel16>(in, first, rows, world);
    } else {
        fillRows<PF_Pixel8>(in, first, rows, world);
    }
}

template <typename In, typename Out>
void worldIntoSamples(const PF_EffectWorld& world, const SampleRows<const In>* original, int first,
                      int rows, const SampleRows<Out>& out)
{
    if (PF_WORLD_IS_DEEP(&world)) {
        readRows<PF_Pixel16>(world, original, first, rows, out);
    } else {
        readRows<PF_Pixel8>(world, original, first, rows, out);
    }
}

template <typename In, typename Out>
void convertSamples(const SampleRows<const In>& in, int rows, const SampleRows<Out>& out)
{
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < in.width; ++x) {
            writePixel(pixelAt(in, x, y), &in, 0u, nullptr, in.bits, out, pixelAt(out, x, y));
        }
    }
}

#define TELVIX_SAMPLES_INTO_WORLD(In) \
    template void samplesIntoWorld<In>(const SampleRows<const In>&, int, int, PF_EffectWorld&);
#define TELVIX_SAMPLES_OUT(In, Out)                                                             \
    template void worldIntoSamples<In, Out>(const PF_EffectWorld&, const SampleRows<const In>*, \
                                            int, int, const SampleRows<Out>&);                  \
    template void convertSamples<In, Out>(const SampleRows<const In>&, int, const SampleRows<Out>&);

TELVIX_SAMPLES_INTO_WORLD(std::uint8_t)
TELVIX_SAMPLES_INTO_WORLD(std::uint16_t)
TELVIX_SAMPLES_INTO_WORLD(float)
TELVIX_SAMPLES_OUT(std::uint8_t, std::uint8_t)
TELVIX_SAMPLES_OUT(std::uint16_t, std::uint16_t)
TELVIX_SAMPLES_OUT(std::uint16_t, float)
TELVIX_SAMPLES_OUT(float, std::uint16_t)
TELVIX_SAMPLES_OUT(float, float)

#undef TELVIX_SAMPLES_INTO_WORLD
#undef TELVIX_SAMPLES_OUT

}  // namespace telvix::cli
