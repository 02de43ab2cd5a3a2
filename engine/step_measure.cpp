// Step measurement: how far a stair-step around a centre reaches, and what kind it is.
#include "directions.h"
#include "smoothing_engine.h"

namespace telvix {

namespace {

A_long absolute(A_long v) { return v < 0 ? -v : v; }

// The end position of a boundary trace started at `start`, with the trace tolerance.
template <typename Pixel>
Position traceEnd(const RenderInfo<Pixel>& renderInfo, Position start, A_long across, A_long along,
                  TraceResult* result = nullptr)
{
    Position end;
    const TraceResult r = traceBoundary(renderInfo, start.x, start.y, across, along, end.x, end.y,
                                        renderInfo.tolerance2);
    if (result) {
        *result = r;
    }
    return end;
}

}  // namespace

template <typename Pixel>
StepMeasure measureStep(const RenderInfo<Pixel>& renderInfo,
                        const Neighbourhood<Pixel>& neighbourhood, A_long x, A_long y, A_long d,
                        SimilarityMask mask)
{
    const A_long tolerance = renderInfo.tolerance;
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(tolerance);
    const DirectionFrame f = directionFrame(d);
    const Pixel* centre = neighbourhood.centre();
    const Pixel* forward = neighbourhood[f.forward];
    const Pixel* left = neighbourhood[f.left];
    const Pixel* right = neighbourhood[f.right];
    const Position c{x, y};
    const Position nf{x + kStepX[d], y + kStepY[d]};

    // The centre's contrast with its four side neighbours, each formed once and read both ways:
    // forward() is signedContrast(neighbour, centre), reverse() signedContrast(centre, neighbour).
    const ContrastTerms centreTerms = contrastTerms(*centre);
    auto withCentre = [&](A_long index) {
        const Pixel* p = neighbourhood[index];
        if (!p) {
            return ContrastParts{0, 0};  // contrast 0 both ways
        }
        const ContrastParts parts = contrastPartsOfTerms(contrastTerms(*p), centreTerms);
        return samePixelWord(p, centre) ? ContrastParts{0, 0} : parts;
    };
    const ContrastParts forwardLeftParts = withCentre(f.forwardLeft);
    const ContrastParts forwardRightParts = withCentre(f.forwardRight);
    const ContrastParts leftParts = withCentre(f.left);
    const ContrastParts rightParts = withCentre(f.right);
    auto centreSimilar = [mask](A_long index) { return ((mask >> index) & 1u) != 0; };
    // similarOrBrighter(centre, neighbour): the neighbour is as dark as the centre or darker.
    auto asDark = [&](A_long index, const ContrastParts& parts) {
        return centreSimilar(index) || parts.reverse() > scaled;
    };

    StepMeasure m;
    m.forwardEnd = m.backEnd = m.pivot = c;

    if (forwardLeftParts.forward() > scaled && forwardRightParts.forward() > scaled &&
        leftParts.forward() > scaled && rightParts.forward() > scaled) {
        // The tip of a one-pixel-wide line: follow both of its side borders back.
        TraceResult rL = 0;
        TraceResult rR = 0;
        const Position L = traceEnd(renderInfo, c, f.left, f.back, &rL);
        const Position R = traceEnd(renderInfo, c, f.right, f.back, &rR);
        if (rL == kTraceStartChanged && rR == kTraceStartChanged) {
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
    const bool darkAheadLeft = asDark(f.forwardLeft, forwardLeftParts);
    if (darkAheadLeft) {
        m.forwardEnd = traceEnd(renderInfo, nf, f.left, f.forward);
        Position e2 = nf;
        if (asDark(f.forwardRight, forwardRightParts)) {
            e2 = traceEnd(renderInfo, nf, f.right, f.forward);
        }
        // The farther end wins; a tie keeps the left one.
        if (chebyshevDistance(m.forwardEnd, c) < chebyshevDistance(e2, c)) {
            m.forwardEnd = e2;
        }
    } else if (asDark(f.forwardRight, forwardRightParts)) {
        m.forwardEnd = traceEnd(renderInfo, nf, f.right, f.forward);
    }

    const bool leftSimilar = centreSimilar(f.left);
    const bool rightSimilar = centreSimilar(f.right);
    if (m.forwardEnd == nf && leftSimilar && rightSimilar) {
        m.kind = StepKind::StraightEdge;
    }
    if (asDark(f.left, leftParts) && asDark(f.right, rightParts)) {
        m.skipBackRun = true;
        return m;
    }
    // Both sides clearly darker than forward, while one is not as dark as the centre.
    if (isDarker(left, forward, tolerance) && isDarker(right, forward, tolerance)) {
        m.skipBackRun = true;
        return m;
    }

    // A trace reads the source only, so just the traces whose end is used are run.
    if (leftSimilar) {
        // The dark area continues on the left, the bright side is right.
        m.backEnd = traceEnd(renderInfo, c, f.right, f.back);
    } else if (rightSimilar) {
        m.backEnd = traceEnd(renderInfo, c, f.left, f.back);
    } else {
        // The nearer end wins; a tie takes the left one.
        const Position backRight = traceEnd(renderInfo, c, f.right, f.back);
        const Position backLeft = traceEnd(renderInfo, c, f.left, f.back);
        m.backEnd =
            chebyshevDistance(backLeft, c) > chebyshevDistance(backRight, c) ? backRight : backLeft;
    }
    return m;
}

template StepMeasure measureStep<PF_Pixel8>(const RenderInfo<PF_Pixel8>&,
                                            const Neighbourhood<PF_Pixel8>&, A_long, A_long,
                                            A_long, SimilarityMask);
template StepMeasure measureStep<PF_Pixel16>(const RenderInfo<PF_Pixel16>&,
                                             const Neighbourhood<PF_Pixel16>&, A_long, A_long,
                                             A_long, SimilarityMask);

}  // namespace telvix
