// The host's utility callbacks (world copy, creation and disposal, the ANSI helpers).
// Layout as on Windows x64: PF_UtilCallbacks is 552 bytes, PF_ANSICallbacks 160.
#pragma once

#include "AE_Effect.h"

enum {
    PF_NewWorldFlag_NONE = 0,
    PF_NewWorldFlag_CLEAR_PIXELS = 1L << 0,
    PF_NewWorldFlag_DEEP_PIXELS = 1L << 1
};

typedef struct {
    void* maths[15];
    int (*sprintf)(A_char* buffer, const A_char* format, ...);
    A_char* (*strcpy)(A_char* dest, const A_char* src);
    void* asin;
    void* acos;
    A_long ansi_procs[1];
} PF_ANSICallbacks;

typedef struct _PF_UtilCallbacks {
    void* reserved_0[8];
    PF_Err (*copy)(PF_ProgPtr effect_ref, PF_EffectWorld* src, PF_EffectWorld* dst, PF_Rect* src_r,
                   PF_Rect* dst_r);
    void* fill;
    void* gaussian_kernel;
    void* iterate;
    void* premultiply;
    void* premultiply_color;
    PF_Err (*new_world)(PF_ProgPtr effect_ref, A_long width, A_long height, PF_NewWorldFlags flags,
                        PF_EffectWorld* world);
    PF_Err (*dispose_world)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
    void* reserved_128[10];
    PF_ANSICallbacks ansi;
    void* reserved_368[23];
} PF_UtilCallbacks;

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(PF_ANSICallbacks) == 160, "PF_ANSICallbacks size");
static_assert(offsetof(PF_ANSICallbacks, sprintf) == 120 &&
                  offsetof(PF_ANSICallbacks, strcpy) == 128 &&
                  offsetof(PF_ANSICallbacks, asin) == 136 &&
                  offsetof(PF_ANSICallbacks, acos) == 144 &&
                  offsetof(PF_ANSICallbacks, ansi_procs) == 152,
              "PF_ANSICallbacks layout");
static_assert(sizeof(PF_UtilCallbacks) == 552, "PF_UtilCallbacks size");
static_assert(offsetof(PF_UtilCallbacks, copy) == 64 && offsetof(PF_UtilCallbacks, iterate) == 88 &&
                  offsetof(PF_UtilCallbacks, new_world) == 112 &&
                  offsetof(PF_UtilCallbacks, dispose_world) == 120 &&
                  offsetof(PF_UtilCallbacks, ansi) == 208 &&
                  offsetof(PF_UtilCallbacks, ansi) + offsetof(PF_ANSICallbacks, strcpy) == 336,
              "PF_UtilCallbacks layout");
#endif
