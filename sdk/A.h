// Basic integer types of the host SDK, as the SDK's A.h declares them.
#pragma once

#include <stdint.h>

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef char A_char;
typedef uint8_t A_u_char;
typedef int64_t A_intptr_t;
typedef int32_t A_Err;
