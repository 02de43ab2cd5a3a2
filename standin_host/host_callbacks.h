// The stand-in host's callbacks and suites, as the files that define them share them:
// standin_host.cpp (world and parameter callbacks, the ANSI helpers, the commands) and
// standin_suites.cpp (iteration and the suites the basic suite hands out).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "standin_host.h"

namespace standin {
namespace detail {

// The calling thread's host while a command (or a Host::Scope) runs. The basic suite and the
// ANSI helpers get no context argument and find their host here.
extern thread_local Host* tCurrentHost;

template <typename Pixel>
constexpr bool kIsDeep = sizeof(Pixel) == sizeof(PF_Pixel16);

inline std::size_t pixelSize(const PF_EffectWorld& world)
{
    return PF_WORLD_IS_DEEP(&world) ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8);
}

inline std::uint8_t* rowAt(const PF_EffectWorld& world, A_long y)
{
    return reinterpret_cast<std::uint8_t*>(world.data) + std::ptrdiff_t(y) * world.rowbytes;
}

inline PF_Rect wholeWorld(const PF_EffectWorld& world)
{
    return PF_Rect{0, 0, world.width, world.height};
}

// `r` limited to the bounds of `world`; an empty result has right <= left or bottom <= top.
inline PF_Rect clipTo(PF_Rect r, const PF_EffectWorld& world)
{
    r.left = std::max<A_long>(r.left, 0);
    r.top = std::max<A_long>(r.top, 0);
    r.right = std::min(r.right, world.width);
    r.bottom = std::min(r.bottom, world.height);
    return r;
}

}  // namespace detail

// The callbacks, as static members so that they can reach the Host's bookkeeping. None of them
// lets an exception out: they are called through C function pointers.
struct Host::Impl {
    static Host* fromRef(PF_ProgPtr effectRef) { return reinterpret_cast<Host*>(effectRef); }

    // Counts and logs one call of `callback` and answers the fault planned for it, if any.
    static PF_Err enter(Host* host, Callback callback);
    // Ends the span of the callback that entered last, when it returns (callbacks of one host
    // never nest: the plug-in makes none from a pixel function).
    struct SpanEnd {
        Host* host;
        ~SpanEnd();
    };

    static bool listed(const std::vector<std::string>& names, const char* name);

    // Copies the overlap of the two rectangles (whole worlds when null), row by row.
    static PF_Err copy(PF_ProgPtr effectRef, PF_EffectWorld* src, PF_EffectWorld* dst,
                       PF_Rect* srcRect, PF_Rect* dstRect);

    static PF_Err newWorld(PF_ProgPtr effectRef, A_long width, A_long height,
                           PF_NewWorldFlags flags, PF_EffectWorld* world);

    static PF_Err disposeWorld(PF_ProgPtr effectRef, PF_EffectWorld* world);

    static PF_Err addParam(PF_ProgPtr effectRef, PF_ParamIndex index, PF_ParamDef* def);

    // strcpy, bounded to the host's buffer size: a longer source is cut and still terminated.
    static A_char* ansiStrcpy(A_char* dest, const A_char* src);

    // sprintf that never writes more than the host's message size, terminator included.
    static int ansiSprintf(A_char* buffer, const A_char* format, ...);

    static SPErr acquireSuite(const char* name, int32 version, const void** suite);
    static SPErr releaseSuite(const char* name, int32 version);
    static const void* offeredSuite(const char* name, int32 version);

    static const PF_Iterate8Suite1 kIterate8Suite;
    static const PF_iterate16Suite1 kIterate16Suite;
    static const PF_ANSICallbacksSuite1 kAnsiSuite;

    template <typename Pixel>
    [[gnu::noinline]] static PF_Err skippedPixel(void*, A_long, A_long, Pixel*, Pixel*)
    {
        return PF_Err_NONE;
    }

    // Serial, row-major visit of `area` (the destination's whole frame when null), limited to
    // both worlds so that the pixel function never gets a position outside either.
    template <typename Pixel>
    static PF_Err iterate(Callback callback, PF_InData* inData, A_long progressBase,
                          A_long progressFinal, PF_EffectWorld* src, const PF_Rect* area,
                          void* refcon,
                          PF_Err (*pixelFunction)(void*, A_long, A_long, Pixel*, Pixel*),
                          PF_EffectWorld* dst);

    static PF_Err iterate8(PF_InData* inData, A_long base, A_long final, PF_EffectWorld* src,
                           const PF_Rect* area, void* refcon,
                           PF_Err (*fn)(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*),
                           PF_EffectWorld* dst);

    static PF_Err iterate16(PF_InData* inData, A_long base, A_long final, PF_EffectWorld* src,
                            const PF_Rect* area, void* refcon,
                            PF_Err (*fn)(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*),
                            PF_EffectWorld* dst);
};

}  // namespace standin
