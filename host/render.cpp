#include "render.h"

#include <algorithm>
#include <type_traits>

#include "AE_EffectCB.h"
#include "AE_EffectCBSuites.h"
#include "deferred_pass.h"
#include "params.h"
#include "smoothing_engine.h"
#include "suite_handler.h"

namespace telvix {

namespace {

template <typename Pixel>
using PixelFunction = PF_Err (*)(void* refcon, A_long x, A_long y, Pixel* in, Pixel* out);

template <typename Pixel>
constexpr bool kIsDeep = std::is_same_v<Pixel, PF_Pixel16>;

// Runs the iterate of Pixel's depth once, through a handler of its own that releases the suite
// as soon as iterate returns. iterate's result is passed back unchanged.
template <typename Pixel>
PF_Err iterateWorld(PF_InData* in_data, A_long progressBase, A_long progressFinal,
                    PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                    PixelFunction<Pixel> pixelFunction, PF_EffectWorld* dst)
{
    SuiteHandler suites(in_data->pica_basicP);
    if constexpr (kIsDeep<Pixel>) {
        return suites.iterate16Suite()->iterate(in_data, progressBase, progressFinal, src, area,
                                                refcon, pixelFunction, dst);
    } else {
        return suites.iterate8Suite()->iterate(in_data, progressBase, progressFinal, src, area,
                                               refcon, pixelFunction, dst);
    }
}

// The smoothing pass over `area`, on as many threads as the host's iterate uses, with the result
// of a serial visit (deferred_pass.h). Both phases iterate over one column of rows, so that each
// row's visits run in order within one call wherever the host splits the area. The host's
// progress runs over both phases: the recording's rows, then the rows the writes land in.
template <typename Pixel>
PF_Err smoothArea(PF_InData* in_data, const RenderInfo<Pixel>& info, const PF_Rect& area)
{
    if (area.right <= area.left || area.bottom <= area.top) {
        return PF_Err_NONE;
    }
    DeferredPass<Pixel> pass(info, area);
    const A_long rows = area.bottom - area.top;
    if (!pass.reserveForArea()) {
        return PF_Err_OUT_OF_MEMORY;
    }
    const PF_Rect recordArea = pass.rowArea(area.top, area.bottom);
    auto record = [&]() {
        return iterateWorld<Pixel>(in_data, 0, 2 * rows, info.source, &recordArea, &pass,
                                   &DeferredPass<Pixel>::recordRow, info.output);
    };
    PF_Err err = record();
    // A frame with more writes than the first guess records again, into a pool of the size the
    // first recording counted.
    if (err == PF_Err_NONE && pass.poolExhausted()) {
        err = pass.reserveForCounted() ? record() : PF_Err_OUT_OF_MEMORY;
        if (err == PF_Err_NONE && pass.poolExhausted()) {
            err = PF_Err_OUT_OF_MEMORY;  // more writes than a pool can index: never half a result
        }
    }
    if (err == PF_Err_NONE && !pass.sortOtherRowWrites()) {
        err = PF_Err_OUT_OF_MEMORY;
    }
    if (err == PF_Err_NONE) {
        const PF_Rect applyArea = pass.rowArea(pass.firstWrittenRow(), pass.endWrittenRow());
        err = iterateWorld<Pixel>(in_data, rows, rows + (applyArea.bottom - applyArea.top),
                                  info.source, &applyArea, &pass, &DeferredPass<Pixel>::applyRow,
                                  info.output);
    }
    return err;
}

// The key colour in the depth's channel range: unchanged in 8-bit, widened as the host widens
// 8-bit colours in 16-bit.
template <typename Pixel>
Pixel widenKeyColor(const PF_Pixel& c)
{
    using Traits = DepthTraits<Pixel>;
    return Pixel{Traits::fromEightBit(c.alpha), Traits::fromEightBit(c.red),
                 Traits::fromEightBit(c.green), Traits::fromEightBit(c.blue)};
}

// The output's extent limited to the bounds of both worlds of an iterate, so that no pixel
// function is ever handed a position outside a world, whatever the worlds' sizes.
PF_Rect iterateArea(const PF_LRect& extent, const PF_EffectWorld& a, const PF_EffectWorld& b)
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

// The render's settings for the engine: the check box is on only at exactly 1, the key colour is
// widened to the depth, and the tolerance is kept in 8-bit units at both depths.
template <typename Pixel>
RenderInfo<Pixel> makeRenderInfo(PF_InData* in_data, PF_ParamDef* params[], PF_EffectWorld* output)
{
    RenderInfo<Pixel> info{};
    info.useColorKey = params[kParamUseColorKey]->u.bd.value == 1;
    info.keyColor = widenKeyColor<Pixel>(params[kParamColorKey]->u.cd.value);
    // The host keeps the slider inside its valid range; clamping keeps the 16-bit scaling
    // (tolerance << 7) defined even for a host that does not.
    info.tolerance =
        std::clamp(params[kParamSmoothRange]->u.sd.value, kSmoothRangeMin, kSmoothRangeMax);
    info.tolerance2 = info.tolerance;
    bindSource(info, &params[kParamInput]->u.ld);
    info.output = output;
    info.inData = in_data;
    return info;
}

// The temporary world of one render. Once created, it is disposed of exactly once: explicitly
// on the ordinary paths (whose result counts), or by the destructor when an exception unwinds.
class TemporaryWorld {
public:
    explicit TemporaryWorld(PF_InData* in_data) : inData_(in_data) {}
    TemporaryWorld(const TemporaryWorld&) = delete;
    TemporaryWorld& operator=(const TemporaryWorld&) = delete;
    ~TemporaryWorld() { dispose(); }

    PF_Err create(A_long width, A_long height, PF_NewWorldFlags flags)
    {
        const PF_Err err =
            inData_->utils->new_world(inData_->effect_ref, width, height, flags, &world_);
        live_ = err == PF_Err_NONE;
        return err;
    }

    PF_Err dispose()
    {
        if (!live_) {
            return PF_Err_NONE;
        }
        live_ = false;
        return inData_->utils->dispose_world(inData_->effect_ref, &world_);
    }

    PF_EffectWorld* world() { return &world_; }

private:
    PF_InData* inData_;
    PF_EffectWorld world_{};
    bool live_ = false;
};

// One depth's render: copy, temporary world, optional key pass, analysis copy, smoothing pass.
// Every host result is checked in that order and the first failure is the render's result.
template <typename Pixel>
PF_Err renderDepth(PF_InData* in_data, PF_ParamDef* params[], PF_EffectWorld* output)
{
    RenderInfo<Pixel> info = makeRenderInfo<Pixel>(in_data, params, output);
    PF_EffectWorld* input = info.source;
    PF_UtilCallbacks* utils = in_data->utils;
    const A_long progressFinal = output->extent_hint.bottom - output->extent_hint.top;

    // Every output pixel starts as the input, also outside the extent that the passes visit.
    PF_Err err = utils->copy(in_data->effect_ref, input, output, nullptr, nullptr);
    if (err != PF_Err_NONE) {
        return err;
    }

    TemporaryWorld temporary(in_data);
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
        err = utils->copy(in_data->effect_ref, input, keyed, nullptr, nullptr);
        if (err == PF_Err_NONE) {
            const PF_Rect area = iterateArea(output->extent_hint, *input, *keyed);
            err = iterateWorld<Pixel>(in_data, 0, progressFinal, input, &area, &info,
                                      &keyPass<Pixel>, keyed);
        }
        bindSource(info, keyed);
        info.output = output;
    }
    // The output must start as the analysis world: the engine blends into what it finds there.
    if (err == PF_Err_NONE) {
        err = utils->copy(in_data->effect_ref, info.source, output, nullptr, nullptr);
    }
    if (err == PF_Err_NONE) {
        err = smoothArea(in_data, info, iterateArea(output->extent_hint, *info.source, *output));
    }

    // Disposed of even after a failure; its own result counts only when all else succeeded.
    const PF_Err disposeErr = temporary.dispose();
    return err != PF_Err_NONE ? err : disposeErr;
}

}  // namespace

// The output's depth decides once which pixel type the whole render uses.
PF_Err render(PF_InData* in_data, PF_ParamDef* params[], PF_LayerDef* output)
{
    // Takes no suite: constructing it checks the basic suite before any world is touched.
    SuiteHandler renderScope(in_data->pica_basicP);
    if (PF_WORLD_IS_DEEP(output)) {
        return renderDepth<PF_Pixel16>(in_data, params, output);
    }
    return renderDepth<PF_Pixel8>(in_data, params, output);
}

}  // namespace telvix
