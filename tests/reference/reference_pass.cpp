// The reference smoothing pass: the algorithm written out plainly, serial and scalar, for both
// depths over one pixel-traits type. Read top to bottom: the pixel primitives and the
// neighbourhood average, then the pass itself (the edge classifier, the boundary trace, step
// measurement and step blending, corner smoothing), the per-pixel loop and the render around it.
#include "reference_pass.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "reference_weights.h"

namespace telvix::reference {
namespace {

// ---------------------------------------------------------------------------------------------
// Depths: everything that differs between 8-bit and 16-bit pixels.

template <typename Pixel>
struct Depth;

template <>
struct Depth<PF_Pixel8> {
    using Channel = A_u_char;
    static constexpr A_long channelMax = 255;
    static constexpr float alphaNormaliser = 1.0f / 255.0f;  // 0.003921569f
    static constexpr float clampLimit = 255.0f;
    static A_long scaledTolerance(A_long tolerance) { return tolerance; }
    static Channel widenKey(A_u_char c) { return c; }
};

template <>
struct Depth<PF_Pixel16> {
    using Channel = A_u_short;
    static constexpr A_long channelMax = 32768;
    static constexpr float alphaNormaliser = 1.0f / 32768.0f;
    static constexpr float clampLimit = 32768.0f;
    static A_long scaledTolerance(A_long tolerance) { return tolerance * 128; }
    // The host's 8-to-16 conversion.
    static Channel widenKey(A_u_char c) { return static_cast<Channel>((c * 32768 + 128) / 255); }
};

template <typename Pixel>
using Channel = typename Depth<Pixel>::Channel;

// ---------------------------------------------------------------------------------------------
// Directions. A neighbourhood index doubles as a direction: 1 up, 3 left, 5 right, 7 down, the
// diagonals 0, 2, 6, 8; y grows downward.

constexpr int kTurnLeft90[9] = {6, 3, 0, 7, 4, 1, 8, 5, 2};
constexpr int kTurnRight90[9] = {2, 5, 8, 1, 4, 7, 0, 3, 6};
constexpr int kTurnLeft45[9] = {3, 0, 1, 6, 4, 2, 7, 8, 5};
constexpr int kTurnRight45[9] = {1, 2, 5, 0, 4, 8, 3, 6, 7};
constexpr int kOpposite[9] = {8, 7, 6, 5, 4, 3, 2, 1, 0};
constexpr int kStepX[9] = {-1, 0, 1, -1, 0, 1, -1, 0, 1};
constexpr int kStepY[9] = {-1, -1, -1, 0, 0, 0, 1, 1, 1};

struct Position {
    A_long x;
    A_long y;
    bool operator==(const Position&) const = default;
};

Position step(Position p, int direction)
{
    return {p.x + kStepX[direction], p.y + kStepY[direction]};
}

A_long chebyshev(Position p, Position q)
{
    return std::max(std::abs(p.x - q.x), std::abs(p.y - q.y));
}

PF_Rect clipTo(PF_Rect r, const PF_EffectWorld& world)
{
    return {std::max<A_long>(r.left, 0), std::max<A_long>(r.top, 0), std::min(r.right, world.width),
            std::min(r.bottom, world.height)};
}

// ---------------------------------------------------------------------------------------------
// Pixel primitives.

// The pixel at (x, y), or null outside the world.
template <typename Pixel>
Pixel* pixelAt(const PF_EffectWorld& world, A_long x, A_long y)
{
    if (x < 0 || x >= world.width || y < 0 || y >= world.height) {
        return nullptr;
    }
    auto* base = reinterpret_cast<std::uint8_t*>(world.data);
    return reinterpret_cast<Pixel*>(base + std::ptrdiff_t(y) * world.rowbytes +
                                    std::ptrdiff_t(x) * std::ptrdiff_t(sizeof(Pixel)));
}

template <typename Pixel>
Pixel* pixelAt(const PF_EffectWorld& world, Position p)
{
    return pixelAt<Pixel>(world, p.x, p.y);
}

// Nine source pixels around (x, y), row by row; entries outside the world are null.
template <typename Pixel>
using Neighbourhood = std::array<const Pixel*, 9>;

template <typename Pixel>
Neighbourhood<Pixel> gatherNeighbourhood(const PF_EffectWorld& source, A_long x, A_long y)
{
    Neighbourhood<Pixel> n{};
    for (int i = 0; i < 9; ++i) {
        n[i] = pixelAt<Pixel>(source, x + kStepX[i], y + kStepY[i]);
    }
    return n;
}

template <typename Pixel>
bool pixelsEqual(const Pixel* a, const Pixel* b)
{
    return a != nullptr && b != nullptr && a->alpha == b->alpha && a->red == b->red &&
           a->green == b->green && a->blue == b->blue;
}

// Every channel, alpha included, within the scaled tolerance; tolerance 0 means equal. An absent
// pixel is similar to nothing, so pixelsSimilar(p, p, t) tests that p is present.
template <typename Pixel>
bool pixelsSimilar(const Pixel* a, const Pixel* b, A_long tolerance)
{
    if (a == nullptr || b == nullptr) {
        return false;
    }
    if (tolerance == 0) {
        return pixelsEqual(a, b);
    }
    const A_long t = Depth<Pixel>::scaledTolerance(tolerance);
    return std::abs(int(a->red) - int(b->red)) <= t && std::abs(int(a->blue) - int(b->blue)) <= t &&
           std::abs(int(a->green) - int(b->green)) <= t &&
           std::abs(int(a->alpha) - int(b->alpha)) <= t;
}

// Signed brightness contrast, positive when a is the brighter: the luma difference of the
// premultiplied colours rounded away from zero, but at least a quarter of the colour distance
// (and at least 1), so that distinct pixels always contrast.
template <typename Pixel>
A_long signedContrast(const Pixel* a, const Pixel* b)
{
    if (a == nullptr || b == nullptr || pixelsEqual(a, b)) {
        return 0;
    }
    const float normaliser = Depth<Pixel>::alphaNormaliser;
    const float alphaA = float(a->alpha) * normaliser;
    const float alphaB = float(b->alpha) * normaliser;
    const float redA = float(a->red) * alphaA;
    const float greenA = float(a->green) * alphaA;
    const float blueA = float(a->blue) * alphaA;
    const float redB = float(b->red) * alphaB;
    const float greenB = float(b->green) * alphaB;
    const float blueB = float(b->blue) * alphaB;

    const float lumaA = (kLumaRed * redA + kLumaGreen * greenA) + kLumaBlue * blueA;
    const float lumaB = (kLumaRed * redB + kLumaGreen * greenB) + kLumaBlue * blueB;
    const float luma = lumaA - lumaB;

    const float alphaDistance = float(std::abs(int(a->alpha) - int(b->alpha)));
    const float distance = ((std::fabs(redA - redB) + alphaDistance) + std::fabs(blueA - blueB)) +
                           std::fabs(greenA - greenB);

    A_long t = A_long(distance) / 4;
    if (t == 0) {
        t = 1;
    }
    const float truncated = std::trunc(luma);
    A_long u = A_long(truncated);
    if (luma > truncated) {
        u += 1;
    } else if (luma < truncated) {
        u -= 1;
    }
    const A_long m = std::max(std::abs(u), t);
    return u > 0 ? m : -m;
}

template <typename Pixel>
bool isDarker(const Pixel* a, const Pixel* b, A_long tolerance)
{
    return signedContrast(a, b) < -Depth<Pixel>::scaledTolerance(tolerance);
}

template <typename Pixel>
bool isBrighter(const Pixel* a, const Pixel* b, A_long tolerance)
{
    return signedContrast(a, b) > Depth<Pixel>::scaledTolerance(tolerance);
}

template <typename Pixel>
bool similarOrBrighter(const Pixel* a, const Pixel* b, A_long tolerance)
{
    return pixelsSimilar(a, b, tolerance) || isBrighter(a, b, tolerance);
}

// Limits to 0..channelMax; anything not >= 0 (a NaN too) becomes 0.
template <typename Pixel>
float clampChannel(float v)
{
    if (v > Depth<Pixel>::clampLimit) {
        return Depth<Pixel>::clampLimit;
    }
    if (!(v >= 0.0f)) {
        return 0.0f;
    }
    return v;
}

// Alpha-weighted blend of two pixels into `out`, which may be either input: both are read first.
template <typename Pixel>
void blendPixels(const Pixel& p1, float w1, const Pixel& p2, float w2, Pixel* out)
{
    const Pixel first = p1;
    const Pixel second = p2;
    const float alpha1 = float(first.alpha);
    const float alpha2 = float(second.alpha);
    const float alpha = clampChannel<Pixel>(alpha1 * w1 + alpha2 * w2);
    const float k = 1.0f / alpha;  // infinite for alpha 0: colours then come out 0 (or max)
    auto colour = [&](float c1, float c2) {
        const float v = (c2 * w2 * alpha2 + c1 * w1 * alpha1) * k;
        return static_cast<Channel<Pixel>>(clampChannel<Pixel>(v));
    };
    out->red = colour(first.red, second.red);
    out->green = colour(first.green, second.green);
    out->blue = colour(first.blue, second.blue);
    out->alpha = static_cast<Channel<Pixel>>(alpha);
}

// ---------------------------------------------------------------------------------------------
// Neighbourhood average: the target becomes the alpha-weighted mean of the neighbourhood, the
// centre counted `centreWeight` times. The mean is taken premultiplied and stored (truncated),
// then un-premultiplied from the stored values.
template <typename Pixel>
void neighbourhoodAverage(const Neighbourhood<Pixel>& n, Pixel* target, A_long centreWeight)
{
    const float factor = Depth<Pixel>::alphaNormaliser;
    float total = 0.0f;
    float alphaSum = 0.0f;
    float redSum = 0.0f;
    float greenSum = 0.0f;
    float blueSum = 0.0f;
    auto add = [&](const Pixel& p) {
        const float w = float(p.alpha) * factor;
        total += 1.0f;
        alphaSum += float(p.alpha);
        redSum += float(p.red) * w;
        greenSum += float(p.green) * w;
        blueSum += float(p.blue) * w;
    };
    for (int i : {0, 1, 2, 3, 5, 6, 7, 8}) {
        if (n[i] != nullptr) {
            add(*n[i]);
        }
    }
    for (A_long i = 0; i < centreWeight; ++i) {
        add(*n[4]);
    }
    using C = Channel<Pixel>;
    if (total > 0.0f) {
        const float inv = 1.0f / total;
        target->alpha = static_cast<C>(alphaSum * inv);
        target->red = static_cast<C>(redSum * inv);
        target->blue = static_cast<C>(blueSum * inv);
        target->green = static_cast<C>(greenSum * inv);
    }
    const C alpha = target->alpha;
    if (alpha == 0) {
        target->red = target->green = target->blue = 0;
        return;
    }
    const float f = 1.0f / (float(alpha) * factor);
    const float limit = float(Depth<Pixel>::channelMax);
    auto unpremultiply = [&](C c) { return static_cast<C>(std::min(float(c) * f, limit)); };
    target->blue = unpremultiply(target->blue);
    target->red = unpremultiply(target->red);
    target->green = unpremultiply(target->green);
    target->alpha = static_cast<C>(std::min<A_long>(alpha, Depth<Pixel>::channelMax));
}

// ---------------------------------------------------------------------------------------------
// The engine's records.

enum class EdgeClass { None = 0, Step = 1, InnerCorner = 2, OuterCorner = 3, Isolated = 4 };

enum class StepKind { ThinLine = 0, ThinLineKnee = 1, Edge = 2, StraightEdge = 3 };

struct StepMeasure {
    StepKind kind = StepKind::Edge;
    bool evenSpan = false;
    bool skipBackRun = false;
    Position forwardEnd{};
    Position backEnd{};
    Position pivot{};
};

// Why a boundary trace stopped: 0 the start side changed, 1 the far side changed, 2 both, or the
// walk direction itself when the two sides merged.
using TraceResult = A_long;

// One smoothing pass over a source world into an output world of the same size.
template <typename Pixel>
class Pass {
public:
    Pass(const PF_EffectWorld& source, PF_EffectWorld& output, A_long tolerance)
        : source_(source), output_(output), tolerance_(tolerance), tolerance2_(tolerance)
    {
    }

    // The per-pixel function: one neighbourhood, then right, left, up and down in that order.
    void smoothPixel(A_long x, A_long y)
    {
        const Neighbourhood<Pixel> n = gatherNeighbourhood<Pixel>(source_, x, y);
        for (int d : {5, 3, 1, 7}) {
            dispatch(n, {x, y}, d, classifyEdge(n, d));
        }
    }

private:
    bool similar(const Pixel* a, const Pixel* b) const { return pixelsSimilar(a, b, tolerance_); }
    bool brighter(const Pixel* a, const Pixel* b) const { return isBrighter(a, b, tolerance_); }
    bool darker(const Pixel* a, const Pixel* b) const { return isDarker(a, b, tolerance_); }
    bool similarOrBrighterThan(const Pixel* a, const Pixel* b) const
    {
        return similarOrBrighter(a, b, tolerance_);
    }
    A_long scaled() const { return Depth<Pixel>::scaledTolerance(tolerance_); }

    // -----------------------------------------------------------------------------------------
    // Edge classifier: the kind of edge between the centre and its neighbour in direction d.
    EdgeClass classifyEdge(const Neighbourhood<Pixel>& n, int d) const
    {
        const Pixel* centre = n[4];
        const Pixel* forward = n[d];
        const Pixel* back = n[kOpposite[d]];
        const Pixel* left = n[kTurnLeft90[d]];
        const Pixel* right = n[kTurnRight90[d]];
        const Pixel* forwardLeft = n[kTurnLeft45[d]];
        const Pixel* forwardRight = n[kTurnRight45[d]];
        const Pixel* backLeft = n[kTurnRight45[kOpposite[d]]];
        const Pixel* backRight = n[kTurnLeft45[kOpposite[d]]];

        // Only from the darker side.
        if (signedContrast(centre, forward) >= -scaled()) {
            return EdgeClass::None;
        }
        bool isolated = true;
        for (int i : {0, 1, 2, 3, 5, 6, 7, 8}) {
            if (similar(centre, n[i])) {
                isolated = false;
            }
        }
        const bool continuesStraight = (similar(centre, left) && similar(forward, forwardLeft)) ||
                                       (similar(centre, right) && similar(forward, forwardRight));
        if (!continuesStraight) {
            const bool oneDiagonal = similar(forwardLeft, centre) != similar(forwardRight, centre);
            if (oneDiagonal && similar(centre, left) && similar(centre, right)) {
                return EdgeClass::None;
            }
            return isolated ? EdgeClass::Isolated : EdgeClass::Step;
        }

        if (left == nullptr || right == nullptr) {
            return EdgeClass::None;
        }
        EdgeClass result = EdgeClass::None;
        if ((similar(centre, left) && similar(centre, forwardRight) &&
             signedContrast(forwardLeft, centre) > scaled()) ||
            (similar(centre, right) && similar(centre, forwardLeft) &&
             signedContrast(forwardRight, centre) > scaled())) {
            result = EdgeClass::InnerCorner;
        }
        // The darker block lies to the left of and behind the centre.
        if (back != nullptr && similar(centre, left) && similar(centre, backLeft) &&
            similar(centre, back) && signedContrast(right, centre) > scaled() &&
            similar(right, forward) && similar(right, forwardLeft) && similar(right, backRight)) {
            result = EdgeClass::OuterCorner;
        }
        return result;
    }

    void dispatch(const Neighbourhood<Pixel>& n, Position c, int d, EdgeClass edgeClass)
    {
        switch (edgeClass) {
            case EdgeClass::Step: {
                const StepMeasure measure = measureStep(n, c, d);
                if (!(measure.forwardEnd == measure.backEnd)) {
                    blendStep(n, c, d, measure);
                }
                break;
            }
            case EdgeClass::InnerCorner:
            case EdgeClass::OuterCorner:
                smoothCorner(n, c, d, edgeClass);
                break;
            case EdgeClass::Isolated:
                neighbourhoodAverage(n, pixelAt<Pixel>(output_, c), kLonePixelCentreWeight);
                break;
            case EdgeClass::None:
                break;
        }
    }

    // -----------------------------------------------------------------------------------------
    // Boundary trace: walks a start pixel and its partner across the edge together in `along`,
    // while each side keeps its colour (each pixel against the one before it on its side) and
    // the sides stay different. `end` becomes the last position where the edge was intact: one
    // step behind the start when the walk could not begin.
    TraceResult traceBoundary(Position start, int across, int along, A_long tolerance,
                              Position& end) const
    {
        end = start;
        Position far = step(start, across);
        const Pixel* a = pixelAt<Pixel>(source_, end);
        const Pixel* b = pixelAt<Pixel>(source_, far);
        bool startHeld = pixelsSimilar(a, a, tolerance);
        bool farHeld = pixelsSimilar(b, b, tolerance);
        bool merged = pixelsSimilar(a, b, tolerance);
        while (startHeld && farHeld && !merged) {
            end = step(end, along);
            far = step(far, along);
            const Pixel* nextA = pixelAt<Pixel>(source_, end);
            const Pixel* nextB = pixelAt<Pixel>(source_, far);
            startHeld = pixelsSimilar(a, nextA, tolerance);
            farHeld = pixelsSimilar(b, nextB, tolerance);
            merged = pixelsSimilar(nextA, nextB, tolerance);
            a = nextA;
            b = nextB;
        }
        TraceResult result = 2;
        if (startHeld && farHeld) {
            result = along;
        } else if (startHeld) {
            result = 1;
        } else if (farHeld) {
            result = 0;
        }
        end = step(end, kOpposite[along]);
        return result;
    }

    // The end of a trace with the step measurement's tolerance.
    Position traceEnd(Position start, int across, int along, TraceResult* result = nullptr) const
    {
        Position end{};
        const TraceResult r = traceBoundary(start, across, along, tolerance2_, end);
        if (result != nullptr) {
            *result = r;
        }
        return end;
    }

    // -----------------------------------------------------------------------------------------
    // Step measurement: how far the step around the centre reaches along the line through it
    // in direction d, and of which kind it is.
    StepMeasure measureStep(const Neighbourhood<Pixel>& n, Position c, int d) const
    {
        const Pixel* centre = n[4];
        const Pixel* forward = n[d];
        const Pixel* left = n[kTurnLeft90[d]];
        const Pixel* right = n[kTurnRight90[d]];
        const Pixel* forwardLeft = n[kTurnLeft45[d]];
        const Pixel* forwardRight = n[kTurnRight45[d]];
        const int back = kOpposite[d];
        const Position forwardPos = step(c, d);

        StepMeasure m;
        m.forwardEnd = m.backEnd = m.pivot = c;

        // Thin line: the centre is the tip of a one-pixel line brighter on every side.
        if (brighter(forwardLeft, centre) && brighter(forwardRight, centre) &&
            brighter(left, centre) && brighter(right, centre)) {
            TraceResult leftResult = 0;
            TraceResult rightResult = 0;
            const Position l = traceEnd(c, kTurnLeft90[d], back, &leftResult);
            const Position r = traceEnd(c, kTurnRight90[d], back, &rightResult);
            if (leftResult == 0 && rightResult == 0) {
                // Both borders outlast the line: the back end is the nearer one.
                m.kind = StepKind::ThinLine;
                m.backEnd.x = std::abs(r.x - c.x) < std::abs(l.x - c.x) ? r.x : l.x;
                m.backEnd.y = std::abs(r.y - c.y) < std::abs(l.y - c.y) ? r.y : l.y;
            } else {
                // A knee: the back end is the farther one, the pivot the nearer, moved one
                // step further back when that stays off column 0 and row 0.
                m.kind = StepKind::ThinLineKnee;
                const bool rightFartherX = std::abs(r.x - c.x) > std::abs(l.x - c.x);
                const bool rightFartherY = std::abs(r.y - c.y) > std::abs(l.y - c.y);
                m.backEnd = {rightFartherX ? r.x : l.x, rightFartherY ? r.y : l.y};
                m.pivot = {rightFartherX ? l.x : r.x, rightFartherY ? l.y : r.y};
                const Position candidate = step(m.pivot, back);
                if (candidate.x >= 1 && candidate.x < source_.width && candidate.y >= 1 &&
                    candidate.y < source_.height) {
                    m.pivot = candidate;
                }
            }
            m.evenSpan = chebyshev(m.backEnd, m.forwardEnd) % 2 == 0;
            return m;
        }

        // Edge: forward along the bright row while the dark area continues diagonally ahead.
        m.kind = StepKind::Edge;
        m.forwardEnd = forwardPos;
        if (similarOrBrighterThan(centre, forwardLeft)) {
            m.forwardEnd = traceEnd(forwardPos, kTurnLeft90[d], d);
            Position other = forwardPos;
            if (similarOrBrighterThan(centre, forwardRight)) {
                other = traceEnd(forwardPos, kTurnRight90[d], d);
            }
            if (chebyshev(m.forwardEnd, c) < chebyshev(other, c)) {
                m.forwardEnd = other;
            }
        } else if (similarOrBrighterThan(centre, forwardRight)) {
            m.forwardEnd = traceEnd(forwardPos, kTurnRight90[d], d);
        }
        if (m.forwardEnd == forwardPos && similar(centre, left) && similar(centre, right)) {
            m.kind = StepKind::StraightEdge;
        }
        if (similarOrBrighterThan(centre, left) && similarOrBrighterThan(centre, right)) {
            m.skipBackRun = true;
            return m;
        }
        if (darker(left, forward) && darker(right, forward)) {
            m.skipBackRun = true;
            return m;
        }

        // Back along the dark row while a bright area lies beside it.
        const Position backRight = traceEnd(c, kTurnRight90[d], back);
        const Position backLeft = traceEnd(c, kTurnLeft90[d], back);
        if (similar(centre, left)) {
            m.backEnd = backRight;
        } else if (similar(centre, right)) {
            m.backEnd = backLeft;
        } else {
            m.backEnd = chebyshev(backLeft, c) > chebyshev(backRight, c) ? backRight : backLeft;
        }
        return m;
    }

    // -----------------------------------------------------------------------------------------
    // Step blending: ramps the measured step between the dark colour and the other colour.

    // Blends the pixels start, start + d, ... (dist(start, end) + 1 of them). Pixels up to
    // lastDarkIndex take their own source colour as the dark colour, the rest as the other
    // colour; the profile gives each pixel the other colour's share.
    void blendRun(int d, Position start, const Pixel& darkPixel, Position end,
                  const Pixel& otherPixel, const Profile& profile, A_long lastDarkIndex)
    {
        Pixel dark = darkPixel;
        Pixel other = otherPixel;
        const A_long r = chebyshev(start, end);
        for (A_long i = 0; i <= r; ++i) {
            const float t = r > 0 ? float(i) / float(r) : 0.0f;
            float w = weightAt(profile, t);
            if (!(w <= 1.0f)) {  // above 1, or not a number
                w = 1.0f;
            }
            if (w < 0.0f) {
                w = 0.0f;
            }
            const Position p = {start.x + i * kStepX[d], start.y + i * kStepY[d]};
            const Pixel* s = pixelAt<Pixel>(source_, p);
            Pixel* o = pixelAt<Pixel>(output_, p);
            if (s == nullptr || o == nullptr) {
                continue;  // cannot happen for measured runs in equal-sized worlds
            }
            if (i <= lastDarkIndex) {
                dark = *s;
            } else {
                other = *s;
            }
            if (pixelsEqual<Pixel>(s, o)) {
                blendPixels(dark, 1.0f - w, other, w, o);
            } else {
                // Already changed in this pass: keep half of the earlier result.
                Pixel blended{};
                blendPixels(dark, 1.0f - w, other, w, &blended);
                blendPixels(blended, kSecondWriteShare, *o, kSecondWriteShare, o);
            }
        }
    }

    void blendStep(const Neighbourhood<Pixel>& n, Position c, int d, const StepMeasure& m)
    {
        const Pixel* centre = n[4];
        const Pixel* forward = n[d];
        const Pixel* left = n[kTurnLeft90[d]];
        const Position forwardPos = step(c, d);
        const Position a = m.forwardEnd;
        const Position b = m.backEnd;
        const Position p = m.pivot;

        const A_long backLength = chebyshev(p, b);
        const A_long forwardLength = chebyshev(a, p);
        const A_long fullSpan = chebyshev(a, b) + 1;
        const bool symmetric = m.kind == StepKind::Edge && backLength == forwardLength;

        // The ends pulled half-way towards the centre (integer halves truncate toward zero).
        const Position a2 = {a.x - (a.x - c.x) / 2, a.y - (a.y - c.y) / 2};
        const Position b2 = symmetric ? Position{b.x + (c.x - b.x) / 2, b.y + (c.y - b.y) / 2}
                                      : Position{c.x - (c.x - b.x) / 2, c.y - (c.y - b.y) / 2};
        Position p2 = c;
        if (m.kind == StepKind::ThinLineKnee) {
            const A_long px = c.x - (c.x - p.x) / 2;
            const A_long py = c.y - (c.y - p.y) / 2;
            p2 = {px == c.x ? p.x : px, py == c.y ? p.y : py};
        }
        const A_long spanLength = chebyshev(a2, b2) + 1;
        const A_long kneeLength = chebyshev(b2, p2) + 1;
        const A_long backReach = chebyshev(b2, c);

        switch (m.kind) {
            case StepKind::ThinLine:
            case StepKind::ThinLineKnee: {
                // Mix in the left neighbour when it lies between the centre and forward in
                // brightness, otherwise the forward neighbour.
                const Pixel* otherPixel = forward;
                if (signedContrast(centre, left) < 0 && signedContrast(left, forward) < 0) {
                    otherPixel = left;
                }
                const float span = float(spanLength);
                if (m.kind == StepKind::ThinLine) {
                    if (m.evenSpan) {
                        const float twoN = span + span;
                        const Profile profile = line(1.0f / twoN, 1.0f - 1.0f / twoN);
                        blendRun(d, b2, *centre, a2, *otherPixel, profile, spanLength);
                    } else {
                        const float twoNMinusOne = (span + span) - 1.0f;
                        const Profile profile =
                            lineWithZero(1.0f / twoNMinusOne, 1.0f - 1.0f / twoNMinusOne,
                                         1.0f / (twoNMinusOne * 4.0f - 0.5f));
                        blendRun(d, b2, *centre, a2, *otherPixel, profile, spanLength);
                    }
                    return;
                }
                const float inverse = 1.0f / span;
                const float knee = float(kneeLength);
                const Profile profile = kneeProfile(1.0f / (4.0f * span), (knee * 0.5f) * inverse,
                                                    inverse * knee, 1.0f - 1.0f / (span + span));
                if (spanLength == 1) {
                    neighbourhoodAverage(n, pixelAt<Pixel>(output_, c), kShortKneeCentreWeight);
                } else {
                    blendRun(d, b2, *centre, a2, *otherPixel, profile, spanLength);
                }
                return;
            }
            case StepKind::Edge:
                if (symmetric) {
                    const float q = float(backReach) / (float(backLength + 1) - 0.5f);
                    const float z = backLength % 2 == 1 ? 0.125f / float(2 * spanLength - 1)
                                                        : 1.0f / (2.0f * float(fullSpan) - 1.0f);
                    const Profile profile = lineWithZeroAndOne(0.5f - q, q + 0.5f, z, 1.0f - z);
                    blendRun(d, b2, *centre, a2, *forward, profile, backReach);
                    return;
                }
                if (!m.skipBackRun) {
                    const float len = float(backLength + 1);
                    const float u = 1.0f / (len + len);
                    const float z = 0.125f / len;
                    if ((backLength + 1) % 2 == 1) {
                        const Profile profile = lineWithZero(0.0f, std::max(0.5f - u, z), z);
                        blendRun(d, b2, *centre, c, *forward, profile, backReach);
                    } else {
                        const Profile profile = line(u, 0.5f - u);
                        blendRun(d, b2, *centre, c, *forward, profile, backReach);
                    }
                }
                if (forwardLength > 0) {
                    const float len = float(forwardLength);
                    const float u = 1.0f / (len + len);
                    const float w = 1.0f - 0.125f / len;
                    if (forwardLength % 2 == 1) {
                        const Profile profile = lineWithOne(std::min(w, u + 0.5f), 1.0f, w);
                        blendRun(d, forwardPos, *centre, a2, *forward, profile, -1);
                    } else {
                        const Profile profile = line(u + 0.5f, 1.0f - u);
                        blendRun(d, forwardPos, *centre, a2, *forward, profile, -1);
                    }
                }
                return;
            case StepKind::StraightEdge:
                // No ramp: the forward neighbour is softened by its own neighbourhood.
                neighbourhoodAverage(
                    gatherNeighbourhood<Pixel>(source_, forwardPos.x, forwardPos.y),
                    pixelAt<Pixel>(output_, forwardPos), kStraightEdgeCentreWeight);
                return;
        }
    }

    // -----------------------------------------------------------------------------------------
    // Corner smoothing: a corner pixel whose two edges are both at least 2 long and one at most
    // 3 long becomes its neighbourhood average (centre counted twice).
    void smoothCorner(const Neighbourhood<Pixel>& n, Position c, int d, EdgeClass edgeClass)
    {
        const int forward = d;
        const int back = kOpposite[d];
        const int left = kTurnLeft90[d];
        const int right = kTurnRight90[d];
        const bool outer = edgeClass == EdgeClass::OuterCorner;

        const Position corner = outer ? c : step(c, d);
        Position endA{};
        Position endB{};
        if (outer) {
            traceBoundary(corner, forward, left, tolerance_, endA);
            traceBoundary(corner, right, back, tolerance_, endB);
        } else {
            traceBoundary(corner, left, forward, tolerance_, endA);
            traceBoundary(corner, back, right, tolerance_, endB);
        }
        const A_long runA = chebyshev(endA, corner) + 1;
        const A_long runB = chebyshev(endB, corner) + 1;
        if (!(runA >= kCornerShortestSide && runB >= kCornerShortestSide &&
              (runA <= kCornerLongestShortSide || runB <= kCornerLongestShortSide))) {
            return;
        }
        const Neighbourhood<Pixel> around =
            outer ? n : gatherNeighbourhood<Pixel>(source_, corner.x, corner.y);
        Pixel average{};
        neighbourhoodAverage(around, &average, kCornerCentreWeight);

        const Pixel* s = pixelAt<Pixel>(source_, corner);
        Pixel* o = pixelAt<Pixel>(output_, corner);
        if (o == nullptr) {
            return;
        }
        if (pixelsEqual<Pixel>(o, s)) {
            *o = average;
        } else {
            blendPixels(average, kSecondWriteShare, *o, kSecondWriteShare, o);
        }
    }

    const PF_EffectWorld& source_;
    PF_EffectWorld& output_;
    A_long tolerance_;   // every similarity and contrast test, and the corner traces
    A_long tolerance2_;  // the step measurement's traces (the same value)
};

// Copies the overlap of two worlds of the same depth, row by row.
template <typename Pixel>
void copyWorld(const PF_EffectWorld& from, PF_EffectWorld& to)
{
    for (A_long y = 0; y < std::min(from.height, to.height); ++y) {
        for (A_long x = 0; x < std::min(from.width, to.width); ++x) {
            *pixelAt<Pixel>(to, x, y) = *pixelAt<Pixel>(from, x, y);
        }
    }
}

}  // namespace

template <typename Pixel>
void smoothPass(const PF_EffectWorld& source, PF_EffectWorld& output, A_long tolerance,
                PF_Rect area)
{
    const PF_Rect r = clipTo(clipTo(area, source), output);
    Pass<Pixel> pass(source, output, tolerance);
    for (A_long y = r.top; y < r.bottom; ++y) {
        for (A_long x = r.left; x < r.right; ++x) {
            pass.smoothPixel(x, y);
        }
    }
}

template <typename Pixel>
void render(const PF_EffectWorld& input, PF_EffectWorld& output, bool useKey, PF_Pixel8 key,
            A_long tolerance, PF_Rect area)
{
    // The effect first copies the input to the output; the copy of the analysis world below
    // overwrites it entirely, so it is left out here.
    const PF_EffectWorld* analysis = &input;
    std::vector<Pixel> keyedPixels;
    PF_EffectWorld keyed = input;
    if (useKey) {
        keyedPixels.resize(std::size_t(input.width) * std::size_t(input.height));
        keyed.data = reinterpret_cast<PF_PixelPtr>(keyedPixels.data());
        keyed.rowbytes = A_long(std::size_t(input.width) * sizeof(Pixel));
        copyWorld<Pixel>(input, keyed);
        using D = Depth<Pixel>;
        const Pixel k{D::widenKey(key.alpha), D::widenKey(key.red), D::widenKey(key.green),
                      D::widenKey(key.blue)};
        const PF_Rect r = clipTo(clipTo(area, input), keyed);
        for (A_long y = r.top; y < r.bottom; ++y) {
            for (A_long x = r.left; x < r.right; ++x) {
                if (pixelsEqual<Pixel>(pixelAt<Pixel>(input, x, y), &k)) {
                    *pixelAt<Pixel>(keyed, x, y) = Pixel{0, k.red, k.green, k.blue};
                }
            }
        }
        analysis = &keyed;
    }
    copyWorld<Pixel>(*analysis, output);
    smoothPass<Pixel>(*analysis, output, tolerance, area);
}

template void smoothPass<PF_Pixel8>(const PF_EffectWorld&, PF_EffectWorld&, A_long, PF_Rect);
template void smoothPass<PF_Pixel16>(const PF_EffectWorld&, PF_EffectWorld&, A_long, PF_Rect);
template void render<PF_Pixel8>(const PF_EffectWorld&, PF_EffectWorld&, bool, PF_Pixel8, A_long,
                                PF_Rect);
template void render<PF_Pixel16>(const PF_EffectWorld&, PF_EffectWorld&, bool, PF_Pixel8, A_long,
                                 PF_Rect);

}  // namespace telvix::reference
