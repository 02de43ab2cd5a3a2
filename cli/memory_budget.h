// The memory a run may use and what a frame's render needs of it, checked from headers before
// any pixel memory is taken.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "image.h"

namespace telvix::cli {

// The machine's physical memory in bytes (0 when the system does not say).
std::uint64_t physicalMemoryBytes();

// The memory a run may use: the machine's physical memory, or less where the process's control
// group or its resource limits (address space, data) allow less; 0 when nothing says.
std::uint64_t memoryBudgetBytes();

// Bytes of one host world of width x height at `hostBits` (8 or 16).
inline std::uint64_t worldBytes(std::uint64_t width, std::uint64_t height, int hostBits)
{
    return width * height * (hostBits == 16 ? 8 : 4);
}

// Memory a frame's render needs beside its worlds: strips of rows being read and written, the
// encoder's and decoder's buffers.
inline constexpr std::uint64_t kFrameOverheadBytes = std::uint64_t{64} << 20;

// Checks, from a frame's size alone and before any pixel memory is taken, that the render's
// three host worlds (input, output and the effect's temporary one) of `hostBits` (8 or 16) fit
// in `memoryBytes`. Throws CliError naming `path` and the memory needed otherwise.
// `jobs` > 1: the memory is one job's share of a run of that many frames at once.
void checkFrameMemory(const std::filesystem::path& path, std::uint64_t width, std::uint64_t height,
                      int hostBits, std::uint64_t memoryBytes, int jobs = 1);

// Bytes of the worlds a file of `pages` takes while it renders: every page's world (at
// `hostBits`, or the page's own depth when it is 0) is held until the file is written, and a
// render adds two more of the largest page's size. For one page: its three worlds.
std::uint64_t pagesRenderBytes(const std::vector<Image>& pages, int hostBits);

// Bytes of every page's world of a file: what a frame waiting its turn holds.
std::uint64_t pagesWorldBytes(const std::vector<Image>& pages, int hostBits);

// Checks, from the pages' headers alone and before any pixel memory is taken, that rendering
// them (pagesRenderBytes) fits in `memoryBytes` (0: unknown, nothing is checked). One page is
// checked as checkFrameMemory checks it; several say how many pages and pixels they hold.
// `jobs` > 1: the memory is one job's share of a run of that many frames at once.
void checkPagesMemory(const std::filesystem::path& path, const std::vector<Image>& pages,
                      int hostBits, std::uint64_t memoryBytes, int jobs = 1);

}  // namespace telvix::cli
