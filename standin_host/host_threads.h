// The stand-in host's threads: runs the bands of one callback at the same time, as a host splits
// an iterate or a copy, on at most as many threads as the process has processors (more would
// only take turns on them, each paying for its start and for the cache it evicts). Threads come
// from the operating system directly (std::thread on POSIX, CreateThread on Windows, where the
// plug-in's toolchain has no std::thread), so the same host builds for both.
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

// The processors this process may run on (at least 1).
int processorsAvailable();

// Runs work(i) for every band index i < count and returns when all have returned: on
// min(count, processorsAvailable()) threads at once (one of them the calling thread), each
// running a share of neighbouring bands in order, the first share on the calling thread.
// work must not throw.
void runConcurrently(int count, const std::function<void(int)>& work);

}  // namespace standin
