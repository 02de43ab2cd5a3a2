// Registration of the effect's three controls with the host; their ids, defaults and ranges are
// in telvix_params.h.
#pragma once

#include "AE_Effect.h"
#include "telvix_params.h"

namespace telvix {

// Adds the three controls through in_data's add_param, in index order, and sets
// out_data->num_params. The first failing add_param ends the setup and its code is returned
// unchanged; num_params is then left alone.
PF_Err setupParams(PF_InData* in_data, PF_OutData* out_data);

}  // namespace telvix
