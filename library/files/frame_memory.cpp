#include "frame_memory.h"

#include <fmt/format.h>

#include <algorithm>

#include "cli_error.h"

namespace telvix::cli {

namespace fs = std::filesystem;

std::uint64_t pageHeldBytes(const Image& page, int hostBits)
{
    const int worldBits = hostBits != 0 ? hostBits : page.bits;
    return worldBytes(static_cast<std::uint64_t>(page.width),
                      static_cast<std::uint64_t>(page.height), worldBits) +
           originalBytes(page, worldBits);
}

std::uint64_t pagesWorldBytes(const std::vector<Image>& pages, int hostBits)
{
    std::uint64_t all = 0;
    for (const Image& page : pages) all += pageHeldBytes(page, hostBits);
    return all;
}

std::uint64_t pagesRenderBytes(const std::vector<Image>& pages, int hostBits)
{
    std::uint64_t largest = 0;
    for (const Image& page : pages) {
        largest = std::max(largest, worldBytes(static_cast<std::uint64_t>(page.width),
                                               static_cast<std::uint64_t>(page.height),
                                               hostBits != 0 ? hostBits : page.bits));
    }
    return pagesWorldBytes(pages, hostBits) + 2 * largest;
}

namespace {

// Refuses a frame of one page whose render (with what the page holds) does not fit.
void checkPageMemory(const fs::path& path, const Image& page, int hostBits,
                     const MemoryBudget& memory, int jobs)
{
    const std::uint64_t needed = pagesRenderBytes({page}, hostBits) + kFrameOverheadBytes;
    if (memory.bytes != 0 && needed > memory.bytes) {
        throw CliError(fmt::format("'{}' is {}x{} pixels; rendering it at {} bits needs {} but {}",
                                   path.string(), page.width, page.height, hostBits,
                                   describeBytes(needed, true), describeMemory(memory, jobs)));
    }
}

}  // namespace

void checkFrameMemory(const fs::path& path, std::uint64_t width, std::uint64_t height, int hostBits,
                      const MemoryBudget& memory, int jobs)
{
    // Sizes reaching here are at most kMaxFramePixels, so the products cannot overflow.
    Image page;
    page.width = static_cast<int>(width);
    page.height = static_cast<int>(height);
    page.channels = 4;
    page.bits = hostBits;
    page.storedType = hostBits == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
    checkPageMemory(path, page, hostBits, memory, jobs);
}

void checkPagesMemory(const fs::path& path, const std::vector<Image>& pages, int hostBits,
                      const MemoryBudget& memory, int jobs)
{
    if (pages.empty()) return;
    if (pages.size() == 1) {
        const Image& page = pages.front();
        checkPageMemory(path, page, hostBits != 0 ? hostBits : page.bits, memory, jobs);
        return;
    }
    const std::uint64_t needed = pagesRenderBytes(pages, hostBits) + kFrameOverheadBytes;
    if (memory.bytes != 0 && needed > memory.bytes) {
        std::uint64_t pixels = 0;
        for (const Image& page : pages) {
            pixels +=
                static_cast<std::uint64_t>(page.width) * static_cast<std::uint64_t>(page.height);
        }
        throw CliError(fmt::format(
            "'{}' has {} pages of {} pixels in all; rendering them needs {} but {}", path.string(),
            pages.size(), pixels, describeBytes(needed, true), describeMemory(memory, jobs)));
    }
}

}  // namespace telvix::cli
