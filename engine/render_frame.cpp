// One frame's render over a front end's RowRunner (render_frame.h).
#include "render_frame.h"

#include <algorithm>
#include <type_traits>

#include "AE_EffectCB.h"
#include "deferred_pass.h"
#include "depth_traits.h"
#include "key_pass.h"
#include "smoothing_engine.h"
#include "telvix_params.h"

namespace telvix {

namespace {

template <typename Pixel>
constexpr bool kIsDeep = std::is_same_v<Pixel, PF_Pixel16>;

// The key colour in the depth's channel range: unchanged in 8-bit, widened as the host widens
// 8-bit colours in 16-bit.
template <typename Pixel>
Pixel widenKeyColor(const PF_Pixel& c)
{
    using Traits = DepthTraits<Pixel>;
    return Pixel{Traits::fromEightBit(c.alpha), Traits::fromEightBit(c.red),
                 Traits::fromEightBit(c.green), Traits::fromEightBit(c.blue)};
}

// The frame's settings for the engine: the key colour is widened to the depth, and the
// tolerance is kept in 8-bit units at both depths.
template <typename Pixel>
RenderInfo<Pixel> makeRenderInfo(const FrameControls& controls, PF_EffectWorld* source,
                                 PF_EffectWorld* output)
{
    RenderInfo<Pixel> info{};
    info.useColorKey = controls.useColorKey ? 1 : 0;
    info.keyColor = widenKeyColor<Pixel>(controls.keyColor);
    // The host keeps the slider inside its valid range; clamping keeps the 16-bit scaling
    // (tolerance << 7) defined even for a host that does not.
    info.tolerance = std::clamp(controls.smoothRange, kSmoothRangeMin, kSmoothRangeMax);
    info.tolerance2 = info.tolerance;
    bindSource(info, source);
    info.output = output;
    info.inData = controls.inData;
    return info;
}

// The temporary world of one render. Once created, it is disposed of exactly once: explicitly
// on the ordinary paths (whose result counts), or by the destructor when an exception unwinds.
class TemporaryWorld {
public:
    explicit TemporaryWorld(RowRunner& runner) : runner_(runner) {}
    TemporaryWorld(const TemporaryWorld&) = delete;
    TemporaryWorld& operator=(const TemporaryWorld&) = delete;
    ~TemporaryWorld() { dispose(); }

    PF_Err create(A_long width, A_long height, PF_NewWorldFlags flags)
    {
        const PF_Err err = runner_.newWorld(width, height, flags, &world_);
        live_ = err == PF_Err_NONE;
        return err;
    }

    PF_Err dispose()
    {
        if (!live_) {
            return PF_Err_NONE;
        }
        live_ = false;
        return runner_.disposeWorld(&world_);
    }

    PF_EffectWorld* world() { return &world_; }

private:
    RowRunner& runner_;
    PF_EffectWorld world_{};
    bool live_ = false;
};

// One depth's render: copy, temporary world, optional key pass, analysis copy, smoothing pass.
// Every host result is checked in that order and the first failure is the render's result.
template <typename Pixel>
PF_Err renderDepth(PF_EffectWorld* input, PF_EffectWorld* output, const FrameControls& controls,
                   RowRunner& runner)
{
    RenderInfo<Pixel> info = makeRenderInfo<Pixel>(controls, input, output);
    const A_long progressFinal = controls.extent.bottom - controls.extent.top;

    // Every output pixel starts as the input, also outside the extent that the passes visit.
    PF_Err err = runner.copyWorld(input, output);
    if (err != PF_Err_NONE) {
        return err;
    }

    TemporaryWorld temporary(runner);
    err = temporary.create(input->width, input->height,
                           kIsDeep<Pixel> ? PF_NewWorldFlag_DEEP_PIXELS : PF_NewWorldFlag_NONE);
    if (err != PF_Err_NONE) {
        return err;
    }

    // The key pass writes a keyed copy of the input, which then becomes the world the engine
    // analyses; the input layer itself is never written.
    if (info.useColorKey) {
        PF_EffectWorld* keyed = temporary.world();
        info.output = keyed;
        err = runner.copyWorld(input, keyed);
        if (err == PF_Err_NONE) {
            const RowJob<Pixel> key{&keyRow<Pixel>, &keyPass<Pixel>,
                                    &info,          input,
                                    keyed,          limitedArea(controls.extent, *input, *keyed)};
            err = runner.runRows(key, 0, progressFinal);
        }
        bindSource(info, keyed);
        info.output = output;
    }
    // The output must start as the analysis world: the engine blends into what it finds there.
    if (err == PF_Err_NONE) {
        err = runner.copyWorld(info.source, output);
    }
    if (err == PF_Err_NONE) {
        err = smoothArea(info, limitedArea(controls.extent, *info.source, *output), runner);
    }

    // Disposed of even after a failure; its own result counts only when all else succeeded.
    const PF_Err disposeErr = temporary.dispose();
    return err != PF_Err_NONE ? err : disposeErr;
}

}  // namespace

PF_Rect limitedArea(const PF_LRect& extent, const PF_EffectWorld& a, const PF_EffectWorld& b)
{
    PF_Rect area;
    area.left = std::max<A_long>(extent.left, 0);
    area.top = std::max<A_long>(extent.top, 0);
    area.right = std::min({extent.right, a.width, b.width});
    area.bottom = std::min({extent.bottom, a.height, b.height});
    area.right = std::max(area.right, area.left);
    area.bottom = std::max(area.bottom, area.top);
    return area;
}

// Both phases are row jobs, so that each band's visits run in order within one call wherever the
// host splits the area. The host's progress runs over both phases, each half of it: the
// recording's bands, then the rows the writes land in.
template <typename Pixel>
PF_Err smoothArea(const RenderInfo<Pixel>& info, const PF_Rect& area, RowRunner& runner)
{
    if (area.right <= area.left || area.bottom <= area.top) {
        return PF_Err_NONE;
    }
    DeferredPass<Pixel> pass(info, area);
    if (!pass.reserveForArea()) {
        return PF_Err_OUT_OF_MEMORY;
    }
    const A_long bands = pass.bands();
    const RowJob<Pixel> record{
        &DeferredPass<Pixel>::recordBand,        nullptr, &pass, info.source, info.output,
        pass.rowArea(area.top, area.top + bands)};
    PF_Err err = runner.runRows(record, 0, 2 * bands);
    // A frame with more writes than the first guess records again, every band, into memory of
    // the size the recordings counted: once, or twice when bands that landed in place (and so
    // counted nothing) find too little. Still too little after that means more writes than a
    // pool can index: never half a result.
    for (int again = 0; err == PF_Err_NONE && pass.poolExhausted(); ++again) {
        if (again == 2) {
            err = PF_Err_OUT_OF_MEMORY;
        } else {
            err = pass.reserveForCounted() ? runner.runRows(record, 0, 2 * bands)
                                           : PF_Err_OUT_OF_MEMORY;
        }
    }
    if (err == PF_Err_NONE) {
        pass.gatherBands();
        const RowJob<Pixel> apply{&DeferredPass<Pixel>::applyRow,
                                  nullptr,
                                  &pass,
                                  info.source,
                                  info.output,
                                  pass.rowArea(pass.firstWrittenRow(), pass.endWrittenRow())};
        const A_long applied = apply.area.bottom - apply.area.top;
        err = runner.runRows(apply, applied, 2 * applied);
    }
    return err;
}

PF_Err renderFrame(PF_EffectWorld& source, PF_EffectWorld& output, const FrameControls& controls,
                   RowRunner& runner)
{
    // The output's depth decides once which pixel type the whole render uses.
    if (PF_WORLD_IS_DEEP(&output)) {
        return renderDepth<PF_Pixel16>(&source, &output, controls, runner);
    }
    return renderDepth<PF_Pixel8>(&source, &output, controls, runner);
}

template PF_Err smoothArea<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, const PF_Rect&, RowRunner&);
template PF_Err smoothArea<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, const PF_Rect&, RowRunner&);

}  // namespace telvix
