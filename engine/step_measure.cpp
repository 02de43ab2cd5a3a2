// Step measurement: how far a stair-step around a centre reaches, and what kind it is.
#include "boundary_walk.h"
#include "directions.h"
#include "lanes/comparison_lanes.h"
#include "smoothing_engine.h"

namespace telvix {

namespace {

A_long absolute(A_long v) { return v < 0 ? -v : v; }

// The walk of a trace from the centre c along f.back, with the side neighbour `across` (f.left
// or f.right) as partner and `backAcross` the partner's back neighbour: its first step reads only
// the neighbourhood. Where the trace tolerance is the mask's, the centre's mask answers two of
// that step's four tests: the centre against the partner, and against its back neighbour. The
// other two are made only when they can change the outcome.
template <typename Pixel>
[[gnu::always_inline]] inline TraceWalk backWalk(const RenderInfo<Pixel>& renderInfo,
                                                 const Neighbourhood<Pixel>& neighbourhood,
                                                 Position c, const DirectionFrame& f, A_long across,
                                                 A_long backAcross, SimilarityMask mask)
{
    const A_long tolerance = renderInfo.tolerance2;
    const Pixel* side = neighbourhood[across];
    const Pixel* back = neighbourhood[f.back];
    const Pixel* backSide = neighbourhood[backAcross];
    // The mask was formed with RenderInfo::tolerance. tolerance2 belongs to the effect's
    // interface and may in principle differ from it, although the render sets both alike: then,
    // as for a negative tolerance or an absent pixel, the walk makes its own tests.
    if (tolerance != renderInfo.tolerance || tolerance < 0 || !side || !back || !backSide) {
        return walkBoundary(renderInfo, c.x, c.y, across, f.back, tolerance);
    }
    unsigned tests = kSidesSimilarAtStart;
    if (!centreSimilar(mask, across)) {
        tests = pixelsSimilar(side, backSide, tolerance) ? kFarHeld : 0u;
        if (centreSimilar(mask, f.back)) {
            tests |= kStartHeld | (pixelsSimilar(back, backSide, tolerance) ? kSidesSimilar : 0u);
        }
    }
    return walkFromFirstStepTests(renderInfo, c, across, f.back, tests, tolerance);
}

}  // namespace

template <typename Pixel>
StepMeasure measureStep(const RenderInfo<Pixel>& renderInfo,
                        const Neighbourhood<Pixel>& neighbourhood, A_long x, A_long y, A_long d,
                        SimilarityMask mask)
{
    const A_long tolerance = renderInfo.tolerance;
    const DirectionFrame& f = directionFrame(d);
    const Pixel* centre = neighbourhood.centre();
    const Pixel* forward = neighbourhood[f.forward];
    const Pixel* left = neighbourhood[f.left];
    const Pixel* right = neighbourhood[f.right];
    const Position c{x, y};
    const Position nf{x + kStepX[d], y + kStepY[d]};

    // The centre's contrast with its four side neighbours, formed once: bit 0 forward-left,
    // 1 forward-right, 2 left, 3 right. Absent and equal neighbours have contrast 0 both ways.
    const A_long sideIndex[4] = {f.forwardLeft, f.forwardRight, f.left, f.right};
    const Pixel* const sides[4] = {neighbourhood[sideIndex[0]], neighbourhood[sideIndex[1]],
                                   neighbourhood[sideIndex[2]], neighbourhood[sideIndex[3]]};
    ContrastBits contrast;
    unsigned unequal = 0;
    if (sides[0] && sides[1] && sides[2] && sides[3]) {
        contrast = contrastWithFour(centre, sides, tolerance);
        unequal = unequalToCentre(centre, sides);
    } else {
        // On the border some sides are absent: each present one is tested on its own, as all
        // four lanes of the same test.
        for (unsigned i = 0; i < 4; ++i) {
            if (sides[i] && !samePixelWord(sides[i], centre)) {
                const Pixel* const one[4] = {sides[i], sides[i], sides[i], sides[i]};
                const ContrastBits bits = contrastWithFour(centre, one, tolerance);
                contrast.centreLighter |= (bits.centreLighter & 1u) << i;
                contrast.otherLighter |= (bits.otherLighter & 1u) << i;
                unequal |= 1u << i;
            }
        }
    }
    const unsigned sideLighter = contrast.otherLighter & unequal;     // isBrighter(side, centre)
    const unsigned centreLighter = contrast.centreLighter & unequal;  // isBrighter(centre, side)
    // similarOrBrighter(centre, side i): the side neighbour is as dark as the centre or darker.
    auto asDark = [&](unsigned i) {
        return centreSimilar(mask, sideIndex[i]) || ((centreLighter >> i) & 1u) != 0;
    };

    StepMeasure m;
    m.forwardEnd = c;
    m.backEnd = c;
    m.pivot = c;

    if (sideLighter == 0xFu) {
        // The tip of a one-pixel-wide line: follow both of its side borders back.
        const TraceWalk walkL = backWalk(renderInfo, neighbourhood, c, f, f.left, f.backLeft, mask);
        const TraceWalk walkR =
            backWalk(renderInfo, neighbourhood, c, f, f.right, f.backRight, mask);
        const Position L = walkEnd(c, f.back, walkL);
        const Position R = walkEnd(c, f.back, walkR);
        if (walkL.result == kTraceStartChanged && walkR.result == kTraceStartChanged) {
            m.kind = StepKind::ThinLine;
            // Coordinate by coordinate the nearer end; a tie takes L.
            m.backEnd.x = absolute(R.x - x) < absolute(L.x - x) ? R.x : L.x;
            m.backEnd.y = absolute(R.y - y) < absolute(L.y - y) ? R.y : L.y;
        } else {
            m.kind = StepKind::ThinLineKnee;
            // The farther end bounds the step, the nearer one is the knee; a tie puts L back.
            const bool rFartherX = absolute(R.x - x) > absolute(L.x - x);
            const bool rFartherY = absolute(R.y - y) > absolute(L.y - y);
            m.backEnd = Position{rFartherX ? R.x : L.x, rFartherY ? R.y : L.y};
            m.pivot = Position{rFartherX ? L.x : R.x, rFartherY ? L.y : R.y};
            const Position candidate{m.pivot.x + kStepX[f.back], m.pivot.y + kStepY[f.back]};
            // Column 0 and row 0 are refused, the last column and row accepted.
            if (candidate.x >= 1 && candidate.x < renderInfo.source->width && candidate.y >= 1 &&
                candidate.y < renderInfo.source->height) {
                m.pivot = candidate;
            }
        }
        m.evenSpan = chebyshevDistance(m.backEnd, m.forwardEnd) % 2 == 0;
        return m;
    }

    // The last dark pixel of its row: measure along the bright row ahead and the dark row behind.
    m.kind = StepKind::Edge;
    m.forwardEnd = nf;
    // A forward trace starts at the forward neighbour, with its side neighbour as partner.
    auto forwardTrace = [&](A_long across, A_long partnerIndex) {
        return walkEnd(nf, f.forward,
                       walkFromStart(renderInfo, nf, across, f.forward, forward,
                                     neighbourhood[partnerIndex], renderInfo.tolerance2));
    };
    const bool darkAheadLeft = asDark(0);
    if (darkAheadLeft) {
        m.forwardEnd = forwardTrace(f.left, f.forwardLeft);
        Position e2 = nf;
        if (asDark(1)) {
            e2 = forwardTrace(f.right, f.forwardRight);
        }
        // The farther end wins; a tie keeps the left one.
        if (chebyshevDistance(m.forwardEnd, c) < chebyshevDistance(e2, c)) {
            m.forwardEnd = e2;
        }
    } else if (asDark(1)) {
        m.forwardEnd = forwardTrace(f.right, f.forwardRight);
    }

    const bool leftSimilar = centreSimilar(mask, f.left);
    const bool rightSimilar = centreSimilar(mask, f.right);
    if (m.forwardEnd == nf && leftSimilar && rightSimilar) {
        m.kind = StepKind::StraightEdge;
    }
    if (asDark(2) && asDark(3)) {
        m.skipBackRun = true;
        return m;
    }
    // Both sides clearly darker than forward, while one is not as dark as the centre.
    if (isDarker(left, forward, tolerance) && isDarker(right, forward, tolerance)) {
        m.skipBackRun = true;
        return m;
    }

    auto backTrace = [&](A_long across, A_long backAcross) {
        return walkEnd(c, f.back,
                       backWalk(renderInfo, neighbourhood, c, f, across, backAcross, mask));
    };
    // A trace reads the source only, so just the traces whose end is used are run.
    if (leftSimilar) {
        // The dark area continues on the left, the bright side is right.
        m.backEnd = backTrace(f.right, f.backRight);
    } else if (rightSimilar) {
        m.backEnd = backTrace(f.left, f.backLeft);
    } else {
        // The nearer end wins; a tie takes the left one.
        const Position backRight = backTrace(f.right, f.backRight);
        const Position backLeft = backTrace(f.left, f.backLeft);
        m.backEnd =
            chebyshevDistance(backLeft, c) > chebyshevDistance(backRight, c) ? backRight : backLeft;
    }
    return m;
}

template StepMeasure measureStep<PF_Pixel8>(const RenderInfo<PF_Pixel8>&,
                                            const Neighbourhood<PF_Pixel8>&, A_long, A_long, A_long,
                                            SimilarityMask);
template StepMeasure measureStep<PF_Pixel16>(const RenderInfo<PF_Pixel16>&,
                                             const Neighbourhood<PF_Pixel16>&, A_long, A_long,
                                             A_long, SimilarityMask);

}  // namespace telvix
