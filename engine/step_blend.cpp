// Step blending: turns a measured stair-step into a short colour ramp in the output world.
#include <type_traits>

#include "directions.h"
#include "lanes/blend_lanes.h"
#include "output_writes.h"
#include "smoothing_engine.h"

namespace telvix {

namespace {

// The midpoint of c and p with the odd half pixel going to p's side (c + (p - c) - trunc(...)).
A_long halfTowardsFar(A_long c, A_long p) { return p - (p - c) / 2; }
// The midpoint of c and p with the odd half pixel going to c's side.
A_long halfTowardsCentre(A_long c, A_long p) { return c - (c - p) / 2; }

}  // namespace

namespace {

template <typename Profile>
inline float evaluateProfile(const Profile& profile, float t)
{
    if constexpr (std::is_same_v<Profile, InterpolationFunction>) {
        return profile.evaluate(t);
    } else {
        return profile.Profile::evaluate(t);
    }
}

}  // namespace

// blendRun over a profile of a known class: evaluate is called without virtual dispatch
// (Profile::evaluate names the class's own override), so the compiler sees the weight's formula.
// With Profile = InterpolationFunction the call stays virtual.
template <typename Pixel, typename Profile>
void blendRunWith(const RenderInfo<Pixel>& renderInfo, A_long d, Position start,
                  const Pixel* darkPixel, Position end, const Pixel* otherPixel,
                  const Profile& profile, A_long lastDarkIndex)
{
    Pixel darkColour = *darkPixel;
    Pixel otherColour = *otherPixel;
    const A_long r = chebyshevDistance(start, end);
    for (A_long i = 0; i <= r; ++i) {
        const float t = r > 0 ? static_cast<float>(i) / static_cast<float>(r) : 0.0f;
        float w = evaluateProfile(profile, t);
        w = w < 1.0f ? w : 1.0f;  // NaN becomes 1
        w = w > 0.0f ? w : 0.0f;
        const A_long px = start.x + i * kStepX[d];
        const A_long py = start.y + i * kStepY[d];
        const Pixel* s = pixelAt<Pixel>(renderInfo.source, px, py);
        if (!s) {
            continue;  // not reached for measured runs; kept safe for any input
        }
        if (i <= lastDarkIndex) {
            darkColour = *s;
        } else {
            otherColour = *s;
        }
        // A pixel already smoothed in this pass keeps the mean of its earlier and the new
        // result. Outside a smaller output world nothing is written, but the colours above
        // still advance.
        Pixel blended;
        blendPixelsSideBySide<Pixel>(&darkColour, 1.0f - w, &otherColour, w, &blended);
        writeOutput(renderInfo, px, py, blended, WriteKind::Merge);
    }
}

template <typename Pixel>
void blendRun(const RenderInfo<Pixel>& renderInfo, A_long d, Position start, const Pixel* darkPixel,
              Position end, const Pixel* otherPixel, const InterpolationFunction& profile,
              A_long lastDarkIndex)
{
    blendRunWith(renderInfo, d, start, darkPixel, end, otherPixel, profile, lastDarkIndex);
}

template <typename Pixel>
void blendStep(const RenderInfo<Pixel>& renderInfo, const Neighbourhood<Pixel>& neighbourhood,
               A_long x, A_long y, A_long d, const StepMeasure& measure)
{
    const Position c{x, y};
    const Position nf{x + kStepX[d], y + kStepY[d]};
    const Position A = measure.forwardEnd;
    const Position B = measure.backEnd;
    const Position P = measure.pivot;
    const A_long backLength = chebyshevDistance(P, B);
    const A_long forwardLength = chebyshevDistance(A, P);
    const bool symmetric = measure.kind == StepKind::Edge && backLength == forwardLength;

    // Pull the ends half-way towards the centre.
    const Position aHalf{halfTowardsFar(c.x, A.x), halfTowardsFar(c.y, A.y)};
    const Position bHalf = symmetric
                               ? Position{halfTowardsFar(c.x, B.x), halfTowardsFar(c.y, B.y)}
                               : Position{halfTowardsCentre(c.x, B.x), halfTowardsCentre(c.y, B.y)};
    const A_long n = chebyshevDistance(aHalf, bHalf) + 1;
    const A_long backReach = chebyshevDistance(bHalf, c);

    const Pixel* centre = neighbourhood.centre();
    const Pixel* forward = neighbourhood[d];
    const float nFloat = static_cast<float>(n);

    switch (measure.kind) {
        case StepKind::ThinLine:
        case StepKind::ThinLineKnee: {
            // Mix in the left neighbour when it lies between the centre and forward in brightness.
            const Pixel* left = neighbourhood[kTurnLeft90[d]];
            const Pixel* other =
                (signedContrast(centre, left) < 0 && signedContrast(left, forward) < 0) ? left
                                                                                        : forward;
            if (measure.kind == StepKind::ThinLine) {
                if (measure.evenSpan) {
                    const float q = 1.0f / (nFloat + nFloat);
                    const LinearOffsetFunction profile(q, 1.0f - q);
                    blendRunWith(renderInfo, d, bHalf, centre, aHalf, other, profile, n);
                } else {
                    const float span = (nFloat + nFloat) - 1.0f;
                    const LinearOffsetZeroValue profile(1.0f / span, 1.0f - 1.0f / span,
                                                        1.0f / (span * kTipSteps - kHalfStep));
                    blendRunWith(renderInfo, d, bHalf, centre, aHalf, other, profile, n);
                }
                break;
            }
            // The knee pulled half-way towards the centre; a knee next to the centre stays where
            // it is rather than collapsing onto it. Other kinds have their pivot at the centre.
            Position pHalf{halfTowardsCentre(c.x, P.x), halfTowardsCentre(c.y, P.y)};
            if (pHalf.x == c.x) {
                pHalf.x = P.x;
            }
            if (pHalf.y == c.y) {
                pHalf.y = P.y;
            }
            const A_long m = chebyshevDistance(bHalf, pHalf) + 1;
            // 1 / (4n) and 1 / (2n) are 1 / n scaled by powers of two, which is exact: one
            // division gives all three.
            const float invN = 1.0f / nFloat;
            const float mf = static_cast<float>(m);
            const LinearThreeOffsetFunction profile(invN * kKneeStep, (mf * kHalfStep) * invN,
                                                    invN * mf, 1.0f - invN * kHalfStep);
            if (n == 1) {
                Pixel average;
                neighbourhoodAverage(neighbourhood, &average, kShortKneeCentreWeight);
                writeOutput(renderInfo, x, y, average, WriteKind::Replace);
            } else {
                blendRunWith(renderInfo, d, bHalf, centre, aHalf, other, profile, n);
            }
            break;
        }
        case StepKind::Edge:
            if (symmetric) {
                const float q = static_cast<float>(backReach) /
                                (static_cast<float>(backLength + 1) - kHalfStep);
                const A_long fullSpan = chebyshevDistance(A, B) + 1;  // the unhalved ends
                const float z = (backLength % 2 != 0)
                                    ? kEndStep / static_cast<float>(2 * n - 1)
                                    : 1.0f / (2.0f * static_cast<float>(fullSpan) - 1.0f);
                const LinearOffsetZeroOneValue profile(kEvenMix - q, q + kEvenMix, z, 1.0f - z);
                // Behind the centre the forward colour is mixed in; ahead of it, the centre's.
                blendRunWith(renderInfo, d, bHalf, centre, aHalf, forward, profile, backReach);
                break;
            }
            if (!measure.skipBackRun) {
                // 1 / (2b) and 0.125 / b are 1 / b scaled by powers of two, which is exact.
                const float invB = 1.0f / static_cast<float>(backLength + 1);
                const float u = invB * kHalfStep;
                const float z = invB * kEndStep;
                if ((backLength + 1) % 2 != 0) {
                    const float half = kEvenMix - u;
                    const LinearOffsetZeroValue profile(0.0f, half > z ? half : z, z);
                    blendRunWith(renderInfo, d, bHalf, centre, c, forward, profile, backReach);
                } else {
                    const LinearOffsetFunction profile(u, kEvenMix - u);
                    blendRunWith(renderInfo, d, bHalf, centre, c, forward, profile, backReach);
                }
            }
            if (forwardLength > 0) {
                const float invF = 1.0f / static_cast<float>(forwardLength);
                const float u = invF * kHalfStep;
                const float w = 1.0f - invF * kEndStep;
                if (forwardLength % 2 != 0) {
                    const float start = u + kEvenMix;
                    const LinearOffsetOneValue profile(w < start ? w : start, 1.0f, w);
                    blendRunWith(renderInfo, d, nf, centre, aHalf, forward, profile, -1);
                } else {
                    const LinearOffsetFunction profile(u + kEvenMix, 1.0f - u);
                    blendRunWith(renderInfo, d, nf, centre, aHalf, forward, profile, -1);
                }
            }
            break;
        case StepKind::StraightEdge:
            // No ramp: only the forward neighbour is softened with its own neighbourhood.
            if (pixelAt<Pixel>(renderInfo.output, nf.x, nf.y) != nullptr) {
                Pixel average;
                neighbourhoodAverage(gatherNeighbourhood(nf.x, nf.y, renderInfo), &average,
                                     kStraightEdgeCentreWeight);
                writeOutput(renderInfo, nf.x, nf.y, average, WriteKind::Replace);
            }
            break;
    }
}

template void blendRun<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, Position, const PF_Pixel8*,
                                  Position, const PF_Pixel8*, const InterpolationFunction&, A_long);
template void blendRun<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, Position,
                                   const PF_Pixel16*, Position, const PF_Pixel16*,
                                   const InterpolationFunction&, A_long);
template void blendStep<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, const Neighbourhood<PF_Pixel8>&,
                                   A_long, A_long, A_long, const StepMeasure&);
template void blendStep<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, const Neighbourhood<PF_Pixel16>&,
                                    A_long, A_long, A_long, const StepMeasure&);

}  // namespace telvix
