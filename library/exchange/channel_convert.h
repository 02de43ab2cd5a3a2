// Exact integer conversions between file sample values and host channel values.
//
// The host's 16-bit channels run 0-32768, files store 0-65535; 8-bit channels are 0-255 on both
// sides. Every conversion rounds so that host -> file -> host is the identity for every host
// value, and 8-bit -> 16-bit -> 8-bit for every 8-bit value. File -> host -> file cannot be (two
// file values share each host value): that is why unchanged samples are kept as read.
#pragma once

#include <algorithm>
#include <cstdint>

#include "telvix_params.h"

namespace telvix::cli {

inline constexpr std::uint32_t kHostMax16 = 32768;
inline constexpr std::uint32_t kFileMax16 = 65535;
inline constexpr std::uint32_t kMax8 = 255;

// 16-bit file value p (0-65535) to host value (p * 32768 + 32767) / 65535, i.e. rounded up.
// The division by 65535 is done as (x + (x >> 16) + 1) >> 16, which equals it for every x this
// takes (checked for all 65536 values in sample_exchange.cpp) and which vector units can do.
constexpr std::uint16_t fileToHost16(std::uint16_t p)
{
    const std::uint32_t x = std::uint32_t{p} * kHostMax16 + 32767u;
    return static_cast<std::uint16_t>((x + (x >> 16) + 1u) >> 16);
}

// Host value h to 16-bit file value (h * 65535 + 16384) / 32768, i.e. rounded to nearest.
// Values above 32768 are out of the host's range and are taken as 32768.
constexpr std::uint16_t hostToFile16(std::uint16_t h)
{
    const std::uint32_t v = std::min<std::uint32_t>(h, kHostMax16);
    return static_cast<std::uint16_t>((v * kFileMax16 + 16384u) / kHostMax16);
}

// 8-bit channel c to a host 16-bit value (c * 32768 + 128) / 255, the host's own widening.
constexpr std::uint16_t widen8To16(std::uint8_t c) { return telvix::widen8To16(c); }

// Host 16-bit value h to 8 bits, (h * 255 + 16384) / 32768; values above 32768 count as 32768.
constexpr std::uint8_t narrow16To8(std::uint16_t h)
{
    const std::uint32_t v = std::min<std::uint32_t>(h, kHostMax16);
    return static_cast<std::uint8_t>((v * kMax8 + 16384u) / kHostMax16);
}

}  // namespace telvix::cli
