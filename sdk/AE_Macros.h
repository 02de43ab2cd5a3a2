// Helper macros of the host SDK.
#pragma once

#include "AE_Effect.h"

#define PF_HALF_CHAN8 128
#define CONVERT8TO16(A) ((((long)(A)*PF_MAX_CHAN16) + PF_HALF_CHAN8) / PF_MAX_CHAN8)
