#include "smoothing_engine.h"

namespace telvix {

template <typename Pixel>
PF_Err smoothingPass(void* /*refcon*/, A_long /*x*/, A_long /*y*/, Pixel* /*inPixel*/,
                     Pixel* /*outPixel*/)
{
    // The engine lands here; until then the output keeps the copied analysis world.
    return PF_Err_NONE;
}

template PF_Err smoothingPass<PF_Pixel8>(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*);
template PF_Err smoothingPass<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

}  // namespace telvix
