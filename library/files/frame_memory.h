// What a frame's render needs of the memory a run may use, checked from headers before any
// pixel memory is taken.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "image.h"
#include "memory_budget.h"

namespace telvix::cli {

// Bytes of one host world of width x height at `hostBits` (8 or 16).
inline std::uint64_t worldBytes(std::uint64_t width, std::uint64_t height, int hostBits)
{
    return width * height * (hostBits == 16 ? 8 : 4);
}

// Bytes one page of a file holds from its reading until the file is written: its host world at
// `hostBits` (or at the page's own depth when 0) and its samples as read where they are kept
// to write back the untouched ones exactly (originalBytes). Every figure of what a frame holds is
// summed from this.
std::uint64_t pageHeldBytes(const Image& page, int hostBits);

// Memory a frame's render needs beside its worlds: strips of rows being read and written, the
// encoder's and decoder's buffers, the threads' stacks.
inline constexpr std::uint64_t kFrameOverheadBytes = std::uint64_t{64} << 20;

// Checks, from a frame's size alone and before any pixel memory is taken, that the render's
// three host worlds (input, output and the effect's temporary one) of `hostBits` (8 or 16), the
// samples as read of an RGBA page of that depth, and kFrameOverheadBytes fit in `memory`. Throws
// CliError naming `path`, the memory needed and the limit otherwise. `jobs` > 1: `memory` is one
// job's share of a run of that many frames at once.
void checkFrameMemory(const std::filesystem::path& path, std::uint64_t width, std::uint64_t height,
                      int hostBits, const MemoryBudget& memory, int jobs = 1);

// Bytes of the worlds a file of `pages` takes while it renders: what every page holds
// (pageHeldBytes) until the file is written, and a render's two more worlds of the largest
// page's size. For one page: its three worlds and its samples as read.
std::uint64_t pagesRenderBytes(const std::vector<Image>& pages, int hostBits);

// Bytes every page of a file holds: what a frame waiting its turn holds.
std::uint64_t pagesWorldBytes(const std::vector<Image>& pages, int hostBits);

// Checks, from the pages' headers alone and before any pixel memory is taken, that rendering
// them (pagesRenderBytes and kFrameOverheadBytes) fits in `memory` (bytes 0: unknown, nothing is
// checked). One page is checked as checkFrameMemory checks it; several say how many pages and
// pixels they hold. `jobs` > 1: `memory` is one job's share of a run of that many frames.
void checkPagesMemory(const std::filesystem::path& path, const std::vector<Image>& pages,
                      int hostBits, const MemoryBudget& memory, int jobs = 1);

}  // namespace telvix::cli
