// The plug-in's entry point: the one function the host calls, with a command code, for About,
// global setup, parameter setup and render. It is the library's only exported symbol.
#pragma once

#include "AE_Effect.h"

#if defined(_WIN32)
#define TELVIX_EXPORT __declspec(dllexport)
#else
#define TELVIX_EXPORT __attribute__((visibility("default")))
#endif

// Answers one host command and returns a host error code (PF_Err_NONE on success). No exception
// leaves it: anything thrown inside becomes PF_Err_INTERNAL_STRUCT_DAMAGED. Commands other than
// About, global setup, parameter setup and render do nothing and return PF_Err_NONE.
extern "C" TELVIX_EXPORT PF_Err entryPointFunc(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                               PF_ParamDef* params[], PF_LayerDef* output,
                                               void* extra);
