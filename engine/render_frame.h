// The engine's entry point for a front end: one frame rendered with the effect's controls, on the
// host's threads, through a RowRunner that the front end implements over its host's services.
//
// renderFrame does, for the output's depth: copy the source into the output (every pixel starts
// as the input, also outside the extent), take a temporary world, run the key pass into it when
// the key is on, copy the analysis world (the source or the keyed copy) into the output, run the
// smoothing pass over the extent in its two phases (deferred_pass.h), and dispose of the
// temporary world. The first non-zero result of the runner is the frame's result.
#pragma once

#include "AE_Effect.h"
#include "render_info.h"

namespace telvix {

// The effect's controls for one frame, as the host hands them over.
struct FrameControls {
    bool useColorKey = false;
    PF_Pixel keyColor{};     // 8-bit; widened to the frame's depth as the host widens colours
    A_long smoothRange = 0;  // clamped to kSmoothRangeMin..kSmoothRangeMax
    PF_LRect extent{};       // the output's area to render, limited to both worlds by the engine
    PF_InData* inData = nullptr;  // copied into RenderInfo::inData, which no routine reads
};

// A job over the rows top <= y < bottom of `area`, reading `source` and writing `destination`.
// `row` does the pixels left <= x < right of row y, in that order; a runner always calls it with
// the area's whole span of columns, and may call it for different rows on different threads at
// once. `pixel`, when set, does one pixel given the source and destination pixels at (x, y)
// (either may be null; refcon is `context`): a job whose pixels are independent offers it for a
// host that iterates pixel by pixel. Both return PF_Err_NONE.
template <typename Pixel>
struct RowJob {
    void (*row)(void* context, A_long y, A_long left, A_long right);
    PF_Err (*pixel)(void* context, A_long x, A_long y, Pixel* in, Pixel* out);
    void* context;
    PF_EffectWorld* source;
    PF_EffectWorld* destination;
    PF_Rect area;
};

// What the engine needs of a host: its threads for row jobs, and its world services. Every
// function returns the host's status unchanged (PF_Err_NONE, an error, or PF_Interrupt_CANCEL
// when the user cancelled) and may throw what the host's glue throws; the engine then stops at
// once and gives its temporary world back.
class RowRunner {
public:
    virtual ~RowRunner() = default;

    // Runs the job over every row of its area, in bands on the host's threads, reporting
    // progress from progressBase towards progressFinal and stopping when the user cancels.
    // An empty area is handed to the host too.
    virtual PF_Err runRows(const RowJob<PF_Pixel8>& job, A_long progressBase,
                           A_long progressFinal) = 0;
    virtual PF_Err runRows(const RowJob<PF_Pixel16>& job, A_long progressBase,
                           A_long progressFinal) = 0;

    // Copies the whole of `source` into `destination` (the host clips to the smaller).
    virtual PF_Err copyWorld(PF_EffectWorld* source, PF_EffectWorld* destination) = 0;
    // A fresh world of the size and depth (PF_NewWorldFlag_DEEP_PIXELS or none), into `world`.
    virtual PF_Err newWorld(A_long width, A_long height, PF_NewWorldFlags flags,
                            PF_EffectWorld* world) = 0;
    virtual PF_Err disposeWorld(PF_EffectWorld* world) = 0;
};

// Renders `source` into `output` (which need not be of the source's size) at the output's depth.
PF_Err renderFrame(PF_EffectWorld& source, PF_EffectWorld& output, const FrameControls& controls,
                   RowRunner& runner);

// The smoothing pass alone over `area` (already limited to both worlds of `info`, whose output
// must hold a copy of its source), in its two phases on the runner's threads, with the result of
// a serial visit. Progress runs from 0 over both phases. PF_Err_OUT_OF_MEMORY when the writes'
// memory cannot be had; then the output is left as the phases left it.
template <typename Pixel>
PF_Err smoothArea(const RenderInfo<Pixel>& info, const PF_Rect& area, RowRunner& runner);

// The output's extent limited to the bounds of both worlds, so that no job is ever handed a
// position outside a world, whatever the worlds' sizes.
PF_Rect limitedArea(const PF_LRect& extent, const PF_EffectWorld& a, const PF_EffectWorld& b);

extern template PF_Err smoothArea<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, const PF_Rect&,
                                             RowRunner&);
extern template PF_Err smoothArea<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, const PF_Rect&,
                                              RowRunner&);

}  // namespace telvix
