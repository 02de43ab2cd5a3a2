// Registration of the effect's three controls with the host.
#pragma once

#include "AE_Effect.h"

namespace telvix {

// Parameter ids and indices. The ids are stored in users' projects: never renumber them.
enum ParamIndex : A_long {
    kParamInput = 0,     // the input layer, added by the host itself
    kParamUseColorKey,   // check box "Use Color Key", id 1
    kParamColorKey,      // colour "Color Key", id 2
    kParamSmoothRange,   // integer slider "Do Smooth Range", id 3
    kParamCount
};

inline constexpr A_long kSmoothRangeMin = 0;
inline constexpr A_long kSmoothRangeMax = 255;
inline constexpr A_long kSmoothRangeDefault = 6;

// Adds the three controls through in_data's add_param, in index order, and sets
// out_data->num_params. The first failing add_param ends the setup and its code is returned
// unchanged; num_params is then left alone.
PF_Err setupParams(PF_InData* in_data, PF_OutData* out_data);

}  // namespace telvix
