// The pixel-iteration and ANSI suites, acquired by name and version through SPBasicSuite.
#pragma once

#include "AE_Effect.h"

#define kPFIterate8Suite "PF Iterate8 Suite"
#define kPFIterate8SuiteVersion1 1
#define kPFIterate16Suite "PF iterate16 Suite"
#define kPFIterate16SuiteVersion1 1
#define kPFANSISuite "PF ANSI Suite"
#define kPFANSISuiteVersion1 1

typedef struct PF_Iterate8Suite1 {
    PF_Err (*iterate)(PF_InData* in_data, A_long progress_base, A_long progress_final,
                      PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                      PF_Err (*pix_fn)(void* refcon, A_long x, A_long y, PF_Pixel* in,
                                       PF_Pixel* out),
                      PF_EffectWorld* dst);
    void* iterate_origin;
    void* iterate_lut;
    void* iterate_origin_non_clip_src;
    void* iterate_generic;
} PF_Iterate8Suite1;

typedef struct PF_iterate16Suite1 {
    PF_Err (*iterate)(PF_InData* in_data, A_long progress_base, A_long progress_final,
                      PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                      PF_Err (*pix_fn)(void* refcon, A_long x, A_long y, PF_Pixel16* in,
                                       PF_Pixel16* out),
                      PF_EffectWorld* dst);
    void* iterate_origin;
    void* iterate_origin_non_clip_src;
} PF_iterate16Suite1;
typedef PF_iterate16Suite1 PF_Iterate16Suite1;

typedef struct PF_ANSICallbacksSuite1 {
    void* maths[15];
    int (*sprintf)(A_char* buffer, const A_char* format, ...);
    A_char* (*strcpy)(A_char* dest, const A_char* src);
    void* asin;
    void* acos;
} PF_ANSICallbacksSuite1;

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(PF_Iterate8Suite1) == 40, "PF_Iterate8Suite1 size");
static_assert(sizeof(PF_iterate16Suite1) == 24, "PF_iterate16Suite1 size");
static_assert(sizeof(PF_ANSICallbacksSuite1) == 152 &&
                  offsetof(PF_ANSICallbacksSuite1, sprintf) == 120 &&
                  offsetof(PF_ANSICallbacksSuite1, strcpy) == 128,
              "PF_ANSICallbacksSuite1 layout");
#endif
