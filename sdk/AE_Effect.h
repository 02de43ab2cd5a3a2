// The effect API of the host SDK: commands, error codes, flags, pixels, worlds, parameters and the
// in/out records of the entry point. Only what Telvix touches is named; everything else is kept as
// reserved space so that every record has the host's Windows x64 size and field offsets (pinned by
// the static_asserts at the end).
#pragma once

#include "A.h"

#define PF_MAX_CHAN8 255
#define PF_MAX_CHAN16 32768

#define PF_MAX_EFFECT_NAME_LEN 31
#define PF_MAX_EFFECT_PARAM_NAME_LEN 31
#define PF_MAX_EFFECT_MSG_LEN 255

// Version packing: build bits 0-8, stage 9-10, bug fix 11-14, subversion 15-18, the low three bits
// of the version at 19-21 and the rest of the version at 26-29.
#define PF_VERS_BUILD_BITS 0x1ffL
#define PF_VERS_BUILD_SHIFT 0
#define PF_VERS_STAGE_BITS 0x3L
#define PF_VERS_STAGE_SHIFT 9
#define PF_VERS_BUGFIX_BITS 0xfL
#define PF_VERS_BUGFIX_SHIFT 11
#define PF_VERS_SUBVERS_BITS 0xfL
#define PF_VERS_SUBVERS_SHIFT 15
#define PF_VERS_VERS_BITS 0x7L
#define PF_VERS_VERS_SHIFT 19
#define PF_VERS_VERS_HIGH_BITS 0xfL
#define PF_VERS_VERS_HIGH_SHIFT 26
#define PF_VERS_VERS_LOW_SHIFT 3

#define PF_VERSION(VERS, SUBVERS, BUGVERS, STAGE, BUILD)                              \
    ((((((unsigned long)(VERS)) >> PF_VERS_VERS_LOW_SHIFT) & PF_VERS_VERS_HIGH_BITS)  \
      << PF_VERS_VERS_HIGH_SHIFT) |                                                   \
     ((((unsigned long)(VERS)) & PF_VERS_VERS_BITS) << PF_VERS_VERS_SHIFT) |          \
     ((((unsigned long)(SUBVERS)) & PF_VERS_SUBVERS_BITS) << PF_VERS_SUBVERS_SHIFT) | \
     ((((unsigned long)(BUGVERS)) & PF_VERS_BUGFIX_BITS) << PF_VERS_BUGFIX_SHIFT) |   \
     ((((unsigned long)(STAGE)) & PF_VERS_STAGE_BITS) << PF_VERS_STAGE_SHIFT) |       \
     ((((unsigned long)(BUILD)) & PF_VERS_BUILD_BITS) << PF_VERS_BUILD_SHIFT))

enum { PF_Stage_DEVELOP = 0, PF_Stage_ALPHA, PF_Stage_BETA, PF_Stage_RELEASE };

typedef A_long PF_Err;
typedef A_long PF_Cmd;
typedef char PF_Boolean;
typedef A_long PF_ParamIndex;
typedef A_long PF_ParamType;
typedef A_long PF_ParamFlags;
typedef A_long PF_ParamUIFlags;
typedef A_long PF_OutFlags;
typedef A_long PF_OutFlags2;
typedef A_long PF_InFlags;
typedef A_long PF_WorldFlags;
typedef A_long PF_NewWorldFlags;
typedef A_long PF_Quality;
typedef A_long PF_Fixed;
typedef struct _PF_ProgressInfo* PF_ProgPtr;
typedef void** PF_Handle;

enum {
    PF_Cmd_ABOUT = 0,
    PF_Cmd_GLOBAL_SETUP = 1,
    PF_Cmd_UNUSED_0 = 2,
    PF_Cmd_GLOBAL_SETDOWN = 3,
    PF_Cmd_PARAMS_SETUP = 4,
    PF_Cmd_SEQUENCE_SETUP = 5,
    PF_Cmd_SEQUENCE_RESETUP = 6,
    PF_Cmd_SEQUENCE_FLATTEN = 7,
    PF_Cmd_SEQUENCE_SETDOWN = 8,
    PF_Cmd_DO_DIALOG = 9,
    PF_Cmd_FRAME_SETUP = 10,
    PF_Cmd_RENDER = 11,
    PF_Cmd_FRAME_SETDOWN = 12,
    PF_Cmd_SMART_PRE_RENDER = 23,
    PF_Cmd_SMART_RENDER = 24,
    PF_Cmd_NUM_CMDS = 34
};

enum {
    PF_Err_NONE = 0,
    PF_Err_OUT_OF_MEMORY = 4,
    PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
    PF_Err_INVALID_INDEX = 513,
    PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
    PF_Err_INVALID_CALLBACK = 515,
    PF_Err_BAD_CALLBACK_PARAM = 516,
    PF_Interrupt_CANCEL = 517
};

enum { PF_Param_LAYER = 0, PF_Param_SLIDER = 1, PF_Param_CHECKBOX = 4, PF_Param_COLOR = 5 };

enum {
    PF_OutFlag_NONE = 0,
    PF_OutFlag_USE_OUTPUT_EXTENT = 1L << 6,
    PF_OutFlag_DEEP_COLOR_AWARE = 1L << 25
};

enum { PF_OutFlag2_NONE = 0 };

enum { PF_WorldFlag_DEEP = 1L << 0, PF_WorldFlag_WRITEABLE = 1L << 1 };

#define PF_WORLD_IS_DEEP(W) (((W)->world_flags & PF_WorldFlag_DEEP) != 0)

typedef struct {
    A_u_char alpha, red, green, blue;
} PF_Pixel;
typedef PF_Pixel PF_Pixel8;

typedef struct {
    A_u_short alpha, red, green, blue;
} PF_Pixel16;

#ifdef PF_DEEP_COLOR_AWARE
// Deep-colour-aware code must not index pixels through this pointer: its pixel size depends on
// the world's depth. Address them through a byte pointer and rowbytes.
typedef struct PF_PixelOpaque* PF_PixelPtr;
#else
typedef PF_Pixel* PF_PixelPtr;
#endif

typedef struct {
    A_long left, top, right, bottom;
} PF_LRect;
typedef PF_LRect PF_Rect;

typedef struct {
    A_long h, v;
} PF_Point;

typedef struct {
    A_long num;
    A_u_long den;
} PF_RationalScale;

typedef struct {
    A_short major;
    A_short minor;
} PF_SpecVersion;

typedef struct PF_LayerDef {
    void* reserved0;
    void* reserved1;
    PF_WorldFlags world_flags;
    PF_PixelPtr data;
    A_long rowbytes;
    A_long width;
    A_long height;
    PF_LRect extent_hint;
    void* platform_ref;
    A_long reserved_long1;
    void* reserved_long4;
    PF_RationalScale pix_aspect_ratio;
    void* reserved_long2;
    A_long origin_x;
    A_long origin_y;
    A_long reserved_long3;
    A_long dephault;
} PF_LayerDef;
typedef PF_LayerDef PF_EffectWorld;

typedef struct {
    A_long value;
    PF_Boolean dephault;
    A_char reserved;
    A_short reserved1;
    union {
        A_u_long reserved;
        const A_char* nameptr;
    } u;
} PF_CheckBoxDef;

typedef struct {
    PF_Pixel value;
    PF_Pixel dephault;
} PF_ColorDef;

typedef struct {
    A_long value;
    A_char value_str[32];
    A_char value_desc[32];
    A_long valid_min, valid_max;
    A_long slider_min, slider_max;
    A_long dephault;
} PF_SliderDef;

typedef union {
    PF_LayerDef ld;
    PF_SliderDef sd;
    PF_CheckBoxDef bd;
    PF_ColorDef cd;
} PF_ParamDefUnion;

typedef struct PF_ParamDef {
    union {
        A_long id;
        A_long change_flags;
    } uu;
    PF_ParamUIFlags ui_flags;
    A_short ui_width;
    A_short ui_height;
    PF_ParamType param_type;
    A_char name[PF_MAX_EFFECT_PARAM_NAME_LEN + 1];
    PF_ParamFlags flags;
    A_long unused;
    PF_ParamDefUnion u;
} PF_ParamDef;

typedef PF_ParamDef** PF_ParamList;

typedef struct {
    void* checkout_param;
    void* checkin_param;
    PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDef* def);
    void* abort;
    void* progress;
    void* reserved[17];
} PF_InteractCallbacks;

struct _PF_UtilCallbacks;
struct SPBasicSuite;

typedef struct PF_InData {
    PF_InteractCallbacks inter;
    struct _PF_UtilCallbacks* utils;
    PF_ProgPtr effect_ref;
    PF_Quality quality;
    PF_SpecVersion version;
    A_long serial_num;
    A_long appl_id;
    A_long num_params;
    A_char reserved_212[48];
    PF_LRect extent_hint;
    A_char reserved_276[32];
    PF_InFlags in_flags;
    PF_Handle global_data;
    A_char reserved_320[64];
    struct SPBasicSuite* pica_basicP;
    A_long pre_effect_source_origin_x;
    A_long pre_effect_source_origin_y;
    PF_Fixed shutter_phase;
} PF_InData;

typedef struct PF_OutData {
    A_u_long my_version;
    A_char name[PF_MAX_EFFECT_NAME_LEN + 1];
    PF_Handle global_data;
    A_long num_params;
    PF_Handle sequence_data;
    A_long flat_sdata_size;
    PF_Handle frame_data;
    A_long width;
    A_long height;
    PF_Point origin;
    PF_OutFlags out_flags;
    A_char return_msg[PF_MAX_EFFECT_MSG_LEN + 1];
    A_long start_sampL;
    A_long dur_sampL;
    void* reserved_dest_snd[4];
    PF_OutFlags2 out_flags2;
} PF_OutData;

typedef PF_Err (*PF_FilterProc)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                PF_ParamDef* params[], PF_LayerDef* output, void* extra);

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(PF_Pixel8) == 4 && sizeof(PF_Pixel16) == 8, "pixel sizes");
static_assert(offsetof(PF_Pixel8, alpha) == 0 && offsetof(PF_Pixel8, red) == 1 &&
                  offsetof(PF_Pixel8, green) == 2 && offsetof(PF_Pixel8, blue) == 3,
              "PF_Pixel8 channel order");
static_assert(offsetof(PF_Pixel16, alpha) == 0 && offsetof(PF_Pixel16, red) == 2 &&
                  offsetof(PF_Pixel16, green) == 4 && offsetof(PF_Pixel16, blue) == 6,
              "PF_Pixel16 channel order");
static_assert(sizeof(PF_LRect) == 16, "PF_LRect layout");
static_assert(sizeof(PF_LayerDef) == 120, "PF_LayerDef size");
static_assert(offsetof(PF_LayerDef, world_flags) == 16 && offsetof(PF_LayerDef, data) == 24 &&
                  offsetof(PF_LayerDef, rowbytes) == 32 && offsetof(PF_LayerDef, width) == 36 &&
                  offsetof(PF_LayerDef, height) == 40 && offsetof(PF_LayerDef, extent_hint) == 44 &&
                  offsetof(PF_LayerDef, platform_ref) == 64 &&
                  offsetof(PF_LayerDef, reserved_long1) == 72 &&
                  offsetof(PF_LayerDef, reserved_long4) == 80 &&
                  offsetof(PF_LayerDef, pix_aspect_ratio) == 88 &&
                  offsetof(PF_LayerDef, reserved_long2) == 96 &&
                  offsetof(PF_LayerDef, origin_x) == 104 &&
                  offsetof(PF_LayerDef, origin_y) == 108 &&
                  offsetof(PF_LayerDef, reserved_long3) == 112 &&
                  offsetof(PF_LayerDef, dephault) == 116,
              "PF_LayerDef layout");
static_assert(sizeof(PF_ParamDef) == 176, "PF_ParamDef size");
static_assert(offsetof(PF_ParamDef, ui_flags) == 4 && offsetof(PF_ParamDef, ui_width) == 8 &&
                  offsetof(PF_ParamDef, ui_height) == 10 &&
                  offsetof(PF_ParamDef, param_type) == 12 && offsetof(PF_ParamDef, name) == 16 &&
                  offsetof(PF_ParamDef, flags) == 48 && offsetof(PF_ParamDef, unused) == 52 &&
                  offsetof(PF_ParamDef, u) == 56,
              "PF_ParamDef layout");
static_assert(sizeof(PF_ParamDefUnion) == 120, "PF_ParamDefUnion size");
static_assert(offsetof(PF_CheckBoxDef, dephault) == 4 && offsetof(PF_CheckBoxDef, u) == 8,
              "PF_CheckBoxDef layout");
static_assert(offsetof(PF_ColorDef, dephault) == 4, "PF_ColorDef layout");
static_assert(offsetof(PF_SliderDef, value_str) == 4 && offsetof(PF_SliderDef, value_desc) == 36 &&
                  offsetof(PF_SliderDef, valid_min) == 68 &&
                  offsetof(PF_SliderDef, valid_max) == 72 &&
                  offsetof(PF_SliderDef, slider_min) == 76 &&
                  offsetof(PF_SliderDef, slider_max) == 80 &&
                  offsetof(PF_SliderDef, dephault) == 84,
              "PF_SliderDef layout");
static_assert(sizeof(PF_InteractCallbacks) == 176 &&
                  offsetof(PF_InteractCallbacks, add_param) == 16,
              "PF_InteractCallbacks layout");
static_assert(sizeof(PF_InData) == 408, "PF_InData size");
static_assert(offsetof(PF_InData, utils) == 176 && offsetof(PF_InData, effect_ref) == 184 &&
                  offsetof(PF_InData, quality) == 192 && offsetof(PF_InData, version) == 196 &&
                  offsetof(PF_InData, serial_num) == 200 && offsetof(PF_InData, appl_id) == 204 &&
                  offsetof(PF_InData, num_params) == 208 &&
                  offsetof(PF_InData, extent_hint) == 260 && offsetof(PF_InData, in_flags) == 308 &&
                  offsetof(PF_InData, global_data) == 312 &&
                  offsetof(PF_InData, pica_basicP) == 384 &&
                  offsetof(PF_InData, pre_effect_source_origin_x) == 392 &&
                  offsetof(PF_InData, pre_effect_source_origin_y) == 396 &&
                  offsetof(PF_InData, shutter_phase) == 400,
              "PF_InData layout");
static_assert(sizeof(PF_OutData) == 408, "PF_OutData size");
static_assert(
    offsetof(PF_OutData, name) == 4 && offsetof(PF_OutData, global_data) == 40 &&
        offsetof(PF_OutData, num_params) == 48 && offsetof(PF_OutData, sequence_data) == 56 &&
        offsetof(PF_OutData, flat_sdata_size) == 64 && offsetof(PF_OutData, frame_data) == 72 &&
        offsetof(PF_OutData, width) == 80 && offsetof(PF_OutData, height) == 84 &&
        offsetof(PF_OutData, origin) == 88 && offsetof(PF_OutData, out_flags) == 96 &&
        offsetof(PF_OutData, return_msg) == 100 && offsetof(PF_OutData, start_sampL) == 356 &&
        offsetof(PF_OutData, dur_sampL) == 360 && offsetof(PF_OutData, reserved_dest_snd) == 368 &&
        offsetof(PF_OutData, out_flags2) == 400,
    "PF_OutData layout");
#endif
