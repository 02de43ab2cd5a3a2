// The host's basic suite: the table through which every other suite is acquired.
// Layout as on Windows x64 (56 bytes).
#pragma once

#include "A.h"

typedef int32_t SPErr;
typedef int32_t int32;
typedef unsigned char SPBoolean;

#define kSPNoError 0

#ifndef SPAPI
#define SPAPI
#endif

typedef struct SPBasicSuite {
    SPAPI SPErr (*AcquireSuite)(const char* name, int32 version, const void** suite);
    SPAPI SPErr (*ReleaseSuite)(const char* name, int32 version);
    SPAPI SPBoolean (*IsEqual)(const char* token1, const char* token2);
    SPAPI SPErr (*AllocateBlock)(size_t size, void** block);
    SPAPI SPErr (*FreeBlock)(void* block);
    SPAPI SPErr (*ReallocateBlock)(void* block, size_t newSize, void** newblock);
    SPAPI SPErr (*Undefined)(void);
} SPBasicSuite;

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(SPBasicSuite) == 56, "SPBasicSuite layout");
static_assert(offsetof(SPBasicSuite, ReleaseSuite) == 8, "SPBasicSuite layout");
#endif
