// Interpolation profiles: one-dimensional weight curves over a run position x in [0, 1].
// Profiles are small immutable objects, created on the stack for one run and evaluated once per
// pixel through a single virtual call. They do not clamp; the caller does. All arithmetic is
// single precision in the order written.
#pragma once

namespace telvix {

// The abstract profile with its one virtual evaluate: part of the effect's own interface
// (blendRun takes it). The engine's runs call each class's evaluate directly (blendRunWith).
class InterpolationFunction {
public:
    // The weight at run position x.
    virtual float evaluate(float x) const = 0;

protected:
    // Profiles are never deleted through the base, so the base needs no virtual destructor.
    ~InterpolationFunction() = default;
};

// The line from (0, startValue) to (1, endValue): (end - start) * x + start.
class LinearOffsetFunction : public InterpolationFunction {
public:
    LinearOffsetFunction(float startValue, float endValue)
        : startValue(startValue), endValue(endValue)
    {
    }
    float evaluate(float x) const override;

    float startValue;
    float endValue;
};

// The line, but zeroValue at exactly x = 0.
class LinearOffsetZeroValue : public LinearOffsetFunction {
public:
    LinearOffsetZeroValue(float startValue, float endValue, float zeroValue)
        : LinearOffsetFunction(startValue, endValue), zeroValue(zeroValue)
    {
    }
    float evaluate(float x) const override;

    float zeroValue;
};

// The line, but oneValue at exactly x = 1.
class LinearOffsetOneValue : public LinearOffsetFunction {
public:
    LinearOffsetOneValue(float startValue, float endValue, float oneValue)
        : LinearOffsetFunction(startValue, endValue), oneValue(oneValue)
    {
    }
    float evaluate(float x) const override;

    float oneValue;
};

// The line, with oneValue at exactly x = 1 and zeroValue at exactly x = 0.
class LinearOffsetZeroOneValue : public LinearOffsetZeroValue {
public:
    LinearOffsetZeroOneValue(float startValue, float endValue, float zeroValue, float oneValue)
        : LinearOffsetZeroValue(startValue, endValue, zeroValue), oneValue(oneValue)
    {
    }
    float evaluate(float x) const override;

    float oneValue;
};

// The polyline through (0, startValue), (breakpoint, middleValue) and (1, endValue); the knee
// belongs to the first segment. breakpoint must be positive.
class LinearThreeOffsetFunction : public InterpolationFunction {
public:
    LinearThreeOffsetFunction(float startValue, float middleValue, float breakpoint, float endValue)
        : startValue(startValue),
          middleValue(middleValue),
          breakpoint(breakpoint),
          endValue(endValue)
    {
    }
    float evaluate(float x) const override;

    float startValue;
    float middleValue;
    float breakpoint;
    float endValue;
};

// The formulas are defined here, inline, so that a caller that knows a profile's class can have
// its evaluate inlined (Profile::evaluate called by its qualified name); calls through the base
// stay virtual.

inline float LinearOffsetFunction::evaluate(float x) const
{
    return (endValue - startValue) * x + startValue;
}

inline float LinearOffsetZeroValue::evaluate(float x) const
{
    // Exact comparison: -0 counts as 0 too.
    if (x == 0.0f) {
        return zeroValue;
    }
    return (endValue - startValue) * x + startValue;
}

inline float LinearOffsetOneValue::evaluate(float x) const
{
    if (x == 1.0f) {
        return oneValue;
    }
    return (endValue - startValue) * x + startValue;
}

inline float LinearOffsetZeroOneValue::evaluate(float x) const
{
    if (x == 1.0f) {
        return oneValue;
    }
    if (x == 0.0f) {
        return zeroValue;
    }
    return (endValue - startValue) * x + startValue;
}

inline float LinearThreeOffsetFunction::evaluate(float x) const
{
    if (x <= breakpoint) {
        return ((middleValue - startValue) / breakpoint) * x + startValue;
    }
    const float k = (endValue - middleValue) / (1.0f - breakpoint);
    return (k * x + endValue) - k;
}

}  // namespace telvix
