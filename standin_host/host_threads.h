// The stand-in host's threads: runs the bands of one callback at the same time, one thread each,
// as a host splits an iterate or a copy. Threads come from the operating system directly
// (std::thread on POSIX, CreateThread on Windows, where the plug-in's toolchain has no
// std::thread), so the same host builds for both.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "AE_Effect.h"

namespace standin {

// Rows [top, bottom) of one band.
struct Band {
    A_long top;
    A_long bottom;
};

// Splits rows [top, bottom) into `count` bands in order. With seed 0 the bands are as equal as
// rows allow; otherwise their boundaries are drawn at random from the seed (bands may be empty).
std::vector<Band> splitRows(A_long top, A_long bottom, int count, std::uint32_t seed);

// Runs work(i) for every band index i < count, each on a thread of its own (index 0 on the
// calling thread), and returns when all have returned. work must not throw.
void runConcurrently(int count, const std::function<void(int)>& work);

}  // namespace standin
