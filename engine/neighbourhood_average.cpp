// Neighbourhood average: the engine's basic softening of one pixel.
#include "smoothing_engine.h"

namespace telvix {

namespace {

// Float to channel: truncated toward zero, limited to channelMax.
template <typename Pixel>
typename DepthTraits<Pixel>::Channel toChannel(float v)
{
    const A_long value = static_cast<A_long>(v);
    return static_cast<typename DepthTraits<Pixel>::Channel>(
        value > DepthTraits<Pixel>::channelMax ? DepthTraits<Pixel>::channelMax : value);
}

}  // namespace

template <typename Pixel>
void neighbourhoodAverage(const Neighbourhood<Pixel>& neighbourhood, Pixel* target,
                          A_long centreWeight)
{
    if (!target) {
        return;  // the position lies outside the output world
    }
    using Traits = DepthTraits<Pixel>;
    float totalWeight = 0.0f;
    float alphaSum = 0.0f;
    float redSum = 0.0f;
    float greenSum = 0.0f;
    float blueSum = 0.0f;
    auto add = [&](const Pixel& p) {
        const float w = static_cast<float>(p.alpha) * Traits::alphaNormaliser;
        totalWeight = totalWeight + 1.0f;
        alphaSum = alphaSum + static_cast<float>(p.alpha);
        redSum = redSum + static_cast<float>(p.red) * w;
        greenSum = greenSum + static_cast<float>(p.green) * w;
        blueSum = blueSum + static_cast<float>(p.blue) * w;
    };
    for (A_long index : {0, 1, 2, 3, 5, 6, 7, 8}) {
        if (const Pixel* p = neighbourhood[index]) {
            add(*p);
        }
    }
    // Repeated addition, not a multiplication: the sums round after every sample.
    const Pixel centre = *neighbourhood.centre();
    for (A_long i = 0; i < centreWeight; ++i) {
        add(centre);
    }
    if (!(totalWeight > 0.0f)) {
        return;
    }

    // The premultiplied mean, truncated to channels first ...
    const float inv = 1.0f / totalWeight;
    Pixel mean;
    mean.alpha = toChannel<Pixel>(alphaSum * inv);
    mean.red = toChannel<Pixel>(redSum * inv);
    mean.blue = toChannel<Pixel>(blueSum * inv);
    mean.green = toChannel<Pixel>(greenSum * inv);

    // ... then un-premultiplied from those truncated integers.
    if (mean.alpha == 0) {
        mean.red = mean.green = mean.blue = 0;
    } else {
        const float f = 1.0f / (static_cast<float>(mean.alpha) * Traits::alphaNormaliser);
        mean.blue = toChannel<Pixel>(static_cast<float>(mean.blue) * f);
        mean.red = toChannel<Pixel>(static_cast<float>(mean.red) * f);
        mean.green = toChannel<Pixel>(static_cast<float>(mean.green) * f);
    }
    *target = mean;
}

template void neighbourhoodAverage<PF_Pixel8>(const Neighbourhood<PF_Pixel8>&, PF_Pixel8*, A_long);
template void neighbourhoodAverage<PF_Pixel16>(const Neighbourhood<PF_Pixel16>&, PF_Pixel16*,
                                               A_long);

}  // namespace telvix
