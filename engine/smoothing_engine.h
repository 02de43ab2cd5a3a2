// The line-smoothing engine: the pass's visits and the routines they dispatch to. A front end
// reaches them through renderFrame (render_frame.h); engine/README.md gives the reading order and
// the routines of the effect's own interface (classifyEdge, traceBoundary, blendRun and the
// RenderInfo fields tolerance2 and inData): what each is for and who calls it.
//
// Rules for every routine of the engine:
//  * Stateless: a routine takes the RenderInfo and coordinates and reports through its result or
//    out-parameters. Nothing survives a call. On the pixel path nothing is allocated, no lock is
//    taken and the host is never called; the memory the pass needs is taken by the deferred pass
//    before each of its phases (deferred_pass.h).
//  * Only RenderInfo::source is read, and the output is only written, through the RenderInfo's
//    writer (output_writes.h). Every classification therefore sees the unsmoothed image. A write
//    landing on an output pixel that no longer equals its source pixel (smoothed earlier in the
//    pass) is blended half-and-half into it.
//  * Absent pixels (positions outside a world) are allowed everywhere and are similar to nothing,
//    brighter or darker than nothing. A position outside the output world is never read or
//    written, so an output smaller than the source is safe.
//  * Per-depth constants come only from DepthTraits; algorithm bodies are written once.
//  * Colour arithmetic is single precision, one rounding per operation in the written order;
//    conversions to channels truncate toward zero.
#pragma once

#include "AE_Effect.h"
#include "directions.h"
#include "interpolation_function.h"
#include "pixel_primitives.h"
#include "render_info.h"
#include "smoothing_constants.h"

namespace telvix {

// A position in the source world.
struct Position {
    A_long x = 0;
    A_long y = 0;
    friend bool operator==(const Position&, const Position&) = default;
};

// max(|dx|, |dy|): the run lengths along a row or column.
inline A_long chebyshevDistance(Position p, Position q)
{
    const A_long dx = p.x - q.x;
    const A_long dy = p.y - q.y;
    const A_long ax = dx < 0 ? -dx : dx;
    const A_long ay = dy < 0 ? -dy : dy;
    return ax > ay ? ax : ay;
}

// What kind of edge runs between a centre and one of its direct neighbours.
enum class EdgeClass : A_long {
    None = 0,
    Step = 1,
    InnerCorner = 2,
    OuterCorner = 3,
    Isolated = 4,
};

// Why a boundary trace stopped: 0 the start side changed, 1 the far side changed, 2 both changed,
// or the walk direction itself when the two sides became similar (so for a walk upward the faded
// result equals kTraceFarChanged; callers use the raw value).
using TraceResult = A_long;
inline constexpr TraceResult kTraceStartChanged = 0;
inline constexpr TraceResult kTraceFarChanged = 1;
inline constexpr TraceResult kTraceBothChanged = 2;

enum class StepKind : A_long {
    ThinLine = 0,      // tip of a one-pixel line whose sides both outlast it
    ThinLineKnee = 1,  // tip of a one-pixel line with a bend or an ending side
    Edge = 2,          // the last dark pixel of a row at a stair-step
    StraightEdge = 3,  // no step: only the forward neighbour is softened
};

// The result of measuring a stair-step around a centre for one direction.
struct StepMeasure {
    StepKind kind = StepKind::Edge;
    bool evenSpan = false;     // thin lines: dist(forwardEnd, backEnd) is even
    bool skipBackRun = false;  // edges: no run back from the centre
    Position forwardEnd;
    Position backEnd;
    Position pivot;  // the knee of a ThinLineKnee; the centre otherwise
};

// Bit i set when neighbourhood entry i (0-3, 5-8) is similar to the centre (pixelsSimilar with the
// render's tolerance); bit 4 and the bits of absent entries are clear. The classification, step
// measurement and the isolation test all read the same eight similarities, so the pass forms
// them once per edge pixel.
using SimilarityMask = unsigned;

// Whether the mask says neighbourhood entry `index` is similar to the centre.
inline bool centreSimilar(SimilarityMask mask, A_long index) { return ((mask >> index) & 1u) != 0; }

// The pass for the pixels left <= x < right of row y, in that order: a row's visits as one call
// (Pixel is PF_Pixel8 or PF_Pixel16). Reads RenderInfo::source around each visited pixel and
// records its writes through RenderInfo::writer.
template <typename Pixel>
void smoothRow(const RenderInfo<Pixel>& renderInfo, A_long y, A_long left, A_long right);

// Classifies the edge between the centre of `neighbourhood` and its neighbour in direction d
// (1, 3, 5 or 7), looking from the darker side. Reads only the neighbourhood and the tolerance;
// x and y are the centre's position, unused. Of the effect's own interface (engine/README.md).
template <typename Pixel>
EdgeClass classifyEdge(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y,
                       const Neighbourhood<Pixel>& neighbourhood, A_long d);

// Hands a classified edge to the routine that smooths that class; mask is the centre's
// SimilarityMask.
template <typename Pixel>
void dispatchEdgeClass(const RenderInfo<Pixel>& renderInfo,
                       const Neighbourhood<Pixel>& neighbourhood, A_long x, A_long y, A_long d,
                       EdgeClass edgeClass, SimilarityMask mask);

// Walks the source pixel at (x, y) and its partner one step `across` in step along `along`
// while each side keeps its colour and the sides stay different. (endX, endY) receives the last
// position where the edge was intact (one step behind the start when it never was). Of the
// effect's own interface (engine/README.md): the form of walkBoundary kept with its name.
template <typename Pixel>
TraceResult traceBoundary(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y, A_long across,
                          A_long along, A_long& endX, A_long& endY, A_long tolerance);

// traceBoundary's outcome as values: the result and the number of steps the walk took; the end
// lies steps - 1 steps along from the start. Small enough to come back in registers, so callers
// that only want the end read no memory the walk has just written.
struct TraceWalk {
    TraceResult result;
    A_long steps;
};

template <typename Pixel>
TraceWalk walkBoundary(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y, A_long across,
                       A_long along, A_long tolerance);

// A walk's outcome from the held bits of its last step (bit 0 the start side held, bit 1 the far
// side held) and the steps it took. Neither held is kTraceBothChanged (2), the far side alone
// kTraceFarChanged (1), the start side alone kTraceStartChanged (0): 2 minus the bits, formed
// without a branch, as the outcome changes from walk to walk.
inline TraceWalk walkOutcome(unsigned held, A_long along, A_long steps)
{
    static_assert(kTraceBothChanged == 2 && kTraceFarChanged == 1 && kTraceStartChanged == 0);
    const A_long bits = static_cast<A_long>(held & 3u);
    return TraceWalk{bits == 3 ? along : 2 - bits, steps};  // both held: the sides faded
}

// The end position of a walk started at `start` along `along`.
inline Position walkEnd(Position start, A_long along, const TraceWalk& walk)
{
    return Position{start.x + (walk.steps - 1) * kStepX[along],
                    start.y + (walk.steps - 1) * kStepY[along]};
}

// Measures the stair-step at a centre classified as EdgeClass::Step for direction d; mask is the
// centre's SimilarityMask.
template <typename Pixel>
StepMeasure measureStep(const RenderInfo<Pixel>& renderInfo,
                        const Neighbourhood<Pixel>& neighbourhood, A_long x, A_long y, A_long d,
                        SimilarityMask mask);

// Turns a measured step into blends of the output world along the line through the centre.
template <typename Pixel>
void blendStep(const RenderInfo<Pixel>& renderInfo, const Neighbourhood<Pixel>& neighbourhood,
               A_long x, A_long y, A_long d, const StepMeasure& measure);

// Blends the output pixels from `start` stepping in direction d up to dist(start, end): each
// mixes the dark colour (share 1 - w) with the other colour (share w), w from `profile` at
// i / r. Pixels with index <= lastDarkIndex take their own source colour as the dark colour, the
// others as the other colour. An already changed output pixel keeps the mean of old and new.
// Of the effect's own interface (engine/README.md), over the abstract profile; step blending
// calls blendRunWith, which knows the profile's class.
template <typename Pixel>
void blendRun(const RenderInfo<Pixel>& renderInfo, A_long d, Position start, const Pixel* darkPixel,
              Position end, const Pixel* otherPixel, const InterpolationFunction& profile,
              A_long lastDarkIndex);

// Corner qualification: both sides at least kCornerMinRun long and at least one of them at most
// kCornerMaxShortRun.
constexpr bool cornerQualifies(A_long runLengthA, A_long runLengthB)
{
    return runLengthA >= kCornerMinRun && runLengthB >= kCornerMinRun &&
           (runLengthA <= kCornerMaxShortRun || runLengthB <= kCornerMaxShortRun);
}

// Rounds off a small corner pixel: the visited pixel for OuterCorner, its forward neighbour for
// InnerCorner, replaced by (or blended into) its neighbourhood average with centre weight
// kCornerCentreWeight.
template <typename Pixel>
void smoothCorner(const RenderInfo<Pixel>& renderInfo, const Neighbourhood<Pixel>& neighbourhood,
                  A_long x, A_long y, A_long d, EdgeClass edgeClass);

// target = alpha-weighted mean of the present neighbours and centreWeight copies of the centre,
// averaged premultiplied and un-premultiplied afterwards, each stage truncated. The centre must
// be present; target may be null (outside the output world), then nothing happens.
template <typename Pixel>
void neighbourhoodAverage(const Neighbourhood<Pixel>& neighbourhood, Pixel* target,
                          A_long centreWeight);

// Each routine is instantiated once per depth in its own source file.
extern template void smoothRow<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long, A_long);
extern template void smoothRow<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long, A_long);
extern template EdgeClass classifyEdge<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long,
                                                  const Neighbourhood<PF_Pixel8>&, A_long);
extern template TraceResult traceBoundary<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long,
                                                     A_long, A_long, A_long&, A_long&, A_long);
extern template TraceWalk walkBoundary<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long,
                                                  A_long, A_long, A_long);
extern template StepMeasure measureStep<PF_Pixel8>(const RenderInfo<PF_Pixel8>&,
                                                   const Neighbourhood<PF_Pixel8>&, A_long, A_long,
                                                   A_long, SimilarityMask);
extern template void blendStep<PF_Pixel8>(const RenderInfo<PF_Pixel8>&,
                                          const Neighbourhood<PF_Pixel8>&, A_long, A_long, A_long,
                                          const StepMeasure&);
extern template void blendRun<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, Position,
                                         const PF_Pixel8*, Position, const PF_Pixel8*,
                                         const InterpolationFunction&, A_long);
extern template void smoothCorner<PF_Pixel8>(const RenderInfo<PF_Pixel8>&,
                                             const Neighbourhood<PF_Pixel8>&, A_long, A_long,
                                             A_long, EdgeClass);
extern template void neighbourhoodAverage<PF_Pixel8>(const Neighbourhood<PF_Pixel8>&, PF_Pixel8*,
                                                     A_long);

extern template EdgeClass classifyEdge<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long,
                                                   const Neighbourhood<PF_Pixel16>&, A_long);
extern template TraceResult traceBoundary<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long,
                                                      A_long, A_long, A_long&, A_long&, A_long);
extern template TraceWalk walkBoundary<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long,
                                                   A_long, A_long, A_long);
extern template StepMeasure measureStep<PF_Pixel16>(const RenderInfo<PF_Pixel16>&,
                                                    const Neighbourhood<PF_Pixel16>&, A_long,
                                                    A_long, A_long, SimilarityMask);
extern template void blendStep<PF_Pixel16>(const RenderInfo<PF_Pixel16>&,
                                           const Neighbourhood<PF_Pixel16>&, A_long, A_long, A_long,
                                           const StepMeasure&);
extern template void blendRun<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, Position,
                                          const PF_Pixel16*, Position, const PF_Pixel16*,
                                          const InterpolationFunction&, A_long);
extern template void smoothCorner<PF_Pixel16>(const RenderInfo<PF_Pixel16>&,
                                              const Neighbourhood<PF_Pixel16>&, A_long, A_long,
                                              A_long, EdgeClass);
extern template void neighbourhoodAverage<PF_Pixel16>(const Neighbourhood<PF_Pixel16>&, PF_Pixel16*,
                                                      A_long);

}  // namespace telvix
