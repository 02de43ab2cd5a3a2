#include "key_pass.h"

#include "pixel_primitives.h"

namespace telvix {

template <typename Pixel>
PF_Err keyPass(void* refcon, A_long /*x*/, A_long /*y*/, Pixel* inPixel, Pixel* outPixel)
{
    const auto* info = static_cast<const RenderInfo<Pixel>*>(refcon);
    if (inPixel == nullptr || outPixel == nullptr) {
        return PF_Err_NONE;
    }
    const Pixel& key = info->keyColor;
    if (inPixel->red == key.red && inPixel->blue == key.blue && inPixel->green == key.green &&
        inPixel->alpha == key.alpha) {
        // Keyed pixels keep their colour: straight (unpremultiplied) colour stays meaningful
        // at alpha 0, and the smoothing reads it.
        outPixel->alpha = 0;
        outPixel->red = key.red;
        outPixel->green = key.green;
        outPixel->blue = key.blue;
    }
    return PF_Err_NONE;
}

template <typename Pixel>
void keyRow(void* refcon, A_long y, A_long left, A_long right)
{
    const auto* info = static_cast<const RenderInfo<Pixel>*>(refcon);
    for (A_long x = left; x < right; ++x) {
        keyPass<Pixel>(refcon, x, y, pixelAt<Pixel>(info->source, x, y),
                       pixelAt<Pixel>(info->output, x, y));
    }
}

template PF_Err keyPass<PF_Pixel8>(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*);
template PF_Err keyPass<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);
template void keyRow<PF_Pixel8>(void*, A_long, A_long, A_long);
template void keyRow<PF_Pixel16>(void*, A_long, A_long, A_long);

}  // namespace telvix
