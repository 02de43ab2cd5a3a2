// A plain binary dump of a rendered frame, identical on every platform for identical pixels:
//   "TVXD", u32 format 1, i32 width, i32 height, i32 bits per channel (8 or 16),
//   i32 the render's result code, then the rows without padding, channels alpha, red, green,
//   blue, little-endian.
#pragma once

#include <string>

#include "standin_host.h"

namespace telvix::wintest {

// Writes the dump of `world` to `path`; false when the file cannot be written.
bool writeFrameDump(const std::string& path, const standin::World& world, PF_Err renderResult);

}  // namespace telvix::wintest
