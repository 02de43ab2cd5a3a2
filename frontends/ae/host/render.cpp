// The plug-in's render: the host's iterate suites and world callbacks as the engine's RowRunner,
// and the controls read from the parameters.
#include "render.h"

#include "AE_EffectCB.h"
#include "AE_EffectCBSuites.h"
#include "params.h"
#include "render_frame.h"
#include "suite_handler.h"

namespace telvix {

namespace {

// Calls a row job's row for the one pixel the host hands it in each row: the iterates of row
// jobs run over the area's first column only (refcon is the job).
template <typename Pixel>
PF_Err rowOfColumn(void* refcon, A_long /*x*/, A_long y, Pixel* /*inPixel*/, Pixel* /*outPixel*/)
{
    const auto& job = *static_cast<const RowJob<Pixel>*>(refcon);
    job.row(job.context, y, job.area.left, job.area.right);
    return PF_Err_NONE;
}

// The host's threads and world services, for one render's in_data.
class IterateSuiteRunner final : public RowRunner {
public:
    explicit IterateSuiteRunner(PF_InData* in_data) : inData_(in_data) {}

    PF_Err runRows(const RowJob<PF_Pixel8>& job, A_long base, A_long final) override
    {
        return iterate(job, base, final);
    }
    PF_Err runRows(const RowJob<PF_Pixel16>& job, A_long base, A_long final) override
    {
        return iterate(job, base, final);
    }

    PF_Err copyWorld(PF_EffectWorld* source, PF_EffectWorld* destination) override
    {
        return inData_->utils->copy(inData_->effect_ref, source, destination, nullptr, nullptr);
    }
    PF_Err newWorld(A_long width, A_long height, PF_NewWorldFlags flags,
                    PF_EffectWorld* world) override
    {
        return inData_->utils->new_world(inData_->effect_ref, width, height, flags, world);
    }
    PF_Err disposeWorld(PF_EffectWorld* world) override
    {
        return inData_->utils->dispose_world(inData_->effect_ref, world);
    }

private:
    // One iterate of the job's depth, through a handler of its own that releases the suite as
    // soon as iterate returns: over the whole area with the job's pixel function when it has
    // one, otherwise over the area's first column, one call per row. iterate's result is
    // passed back unchanged.
    template <typename Pixel>
    PF_Err iterate(const RowJob<Pixel>& job, A_long base, A_long final)
    {
        const PF_Rect column{job.area.left, job.area.top, job.area.left + 1, job.area.bottom};
        const PF_Rect* area = job.pixel != nullptr ? &job.area : &column;
        void* refcon = job.pixel != nullptr ? job.context : const_cast<RowJob<Pixel>*>(&job);
        auto* function = job.pixel != nullptr ? job.pixel : &rowOfColumn<Pixel>;
        SuiteHandler suites(inData_->pica_basicP);
        if constexpr (sizeof(Pixel) == sizeof(PF_Pixel16)) {
            return suites.iterate16Suite()->iterate(inData_, base, final, job.source, area, refcon,
                                                    function, job.destination);
        } else {
            return suites.iterate8Suite()->iterate(inData_, base, final, job.source, area, refcon,
                                                   function, job.destination);
        }
    }

    PF_InData* inData_;
};

}  // namespace

PF_Err render(PF_InData* in_data, PF_ParamDef* params[], PF_LayerDef* output)
{
    // Takes no suite: constructing it checks the basic suite before any world is touched.
    SuiteHandler renderScope(in_data->pica_basicP);
    FrameControls controls;
    controls.useColorKey = params[kParamUseColorKey]->u.bd.value == 1;  // on only at exactly 1
    controls.keyColor = params[kParamColorKey]->u.cd.value;
    controls.smoothRange = params[kParamSmoothRange]->u.sd.value;
    controls.extent = output->extent_hint;
    controls.inData = in_data;
    IterateSuiteRunner runner(in_data);
    return renderFrame(params[kParamInput]->u.ld, *output, controls, runner);
}

}  // namespace telvix
