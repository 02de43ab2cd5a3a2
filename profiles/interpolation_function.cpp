#include "interpolation_function.h"

namespace telvix {

float LinearOffsetFunction::evaluate(float x) const
{
    return (endValue - startValue) * x + startValue;
}

float LinearOffsetZeroValue::evaluate(float x) const
{
    // Exact comparison: -0 counts as 0 too.
    if (x == 0.0f) {
        return zeroValue;
    }
    return (endValue - startValue) * x + startValue;
}

float LinearOffsetOneValue::evaluate(float x) const
{
    if (x == 1.0f) {
        return oneValue;
    }
    return (endValue - startValue) * x + startValue;
}

float LinearOffsetZeroOneValue::evaluate(float x) const
{
    if (x == 1.0f) {
        return oneValue;
    }
    if (x == 0.0f) {
        return zeroValue;
    }
    return (endValue - startValue) * x + startValue;
}

float LinearThreeOffsetFunction::evaluate(float x) const
{
    if (x <= breakpoint) {
        return ((middleValue - startValue) / breakpoint) * x + startValue;
    }
    const float k = (endValue - middleValue) / (1.0f - breakpoint);
    return (k * x + endValue) - k;
}

}  // namespace telvix
