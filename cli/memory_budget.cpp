#include "memory_budget.h"

#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "cli_error.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;

// What a memory check says of the memory there is: the machine's, or one job's share of it.
std::string memoryHeld(std::uint64_t memoryBytes, int jobs)
{
    return jobs > 1 ? fmt::format("each of the {} jobs has {:.1f} GB (fewer --jobs give each more)",
                                  jobs, gigabytes(memoryBytes))
                    : fmt::format("this machine has {:.1f} GB of memory", gigabytes(memoryBytes));
}

// A number from the first line of a file (cgroup limits), or 0 when absent or "max".
std::uint64_t numberIn(const std::string& file)
{
    std::ifstream in(file);
    std::string text;
    if (!(in >> text) || text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return 0;
    }
    return std::strtoull(text.c_str(), nullptr, 10);
}

// The memory limit of the process's control group (cgroup v2), or 0.
std::uint64_t cgroupLimitBytes()
{
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        if (line.rfind("0::", 0) == 0) {
            return numberIn("/sys/fs/cgroup" + line.substr(3) + "/memory.max");
        }
    }
    return 0;
}

// What is left of a resource limit on the process's memory after what it already maps
// (`used`), or 0 when there is no limit.
std::uint64_t leftOfLimit(int resource, std::uint64_t used)
{
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    const std::uint64_t cap = limit.rlim_cur;
    return cap > used ? cap - used : 1;  // 1: nothing left, yet not "unknown"
}

}  // namespace

std::uint64_t physicalMemoryBytes()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::uint64_t memoryBudgetBytes()
{
    std::uint64_t budget = physicalMemoryBytes();
    const auto tighten = [&budget](std::uint64_t limit) {
        if (limit != 0 && (budget == 0 || limit < budget)) budget = limit;
    };
    tighten(cgroupLimitBytes());
    // The address space and data limits count mappings, not pages in use: what the process
    // maps already (libraries, thread stacks, allocator arenas) is taken off.
    std::uint64_t mapped = 0;
    std::uint64_t data = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long long size = 0, resident = 0, shared = 0, text = 0, lib = 0, dataPages = 0;
        if (std::fscanf(statm, "%llu %llu %llu %llu %llu %llu", &size, &resident, &shared, &text,
                        &lib, &dataPages) == 6) {
            const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
            mapped = size * page;
            data = dataPages * page;
        }
        std::fclose(statm);
    }
    tighten(leftOfLimit(RLIMIT_AS, mapped));
    tighten(leftOfLimit(RLIMIT_DATA, data));
    return budget;
}

void checkFrameMemory(const fs::path& path, std::uint64_t width, std::uint64_t height, int hostBits,
                      std::uint64_t memoryBytes, int jobs)
{
    // Sizes reaching here are at most kMaxFramePixels, so the product cannot overflow.
    const std::uint64_t needed = 3 * worldBytes(width, height, hostBits);
    if (memoryBytes != 0 && needed > memoryBytes) {
        throw CliError(
            fmt::format("'{}' is {}x{} pixels; rendering it at {} bits needs {:.1f} GB "
                        "but {}",
                        path.string(), width, height, hostBits, gigabytes(needed),
                        memoryHeld(memoryBytes, jobs)));
    }
}

std::uint64_t pagesWorldBytes(const std::vector<Image>& pages, int hostBits)
{
    std::uint64_t all = 0;
    for (const Image& page : pages) {
        all += worldBytes(static_cast<std::uint64_t>(page.width),
                          static_cast<std::uint64_t>(page.height),
                          hostBits != 0 ? hostBits : page.bits);
    }
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

void checkPagesMemory(const fs::path& path, const std::vector<Image>& pages, int hostBits,
                      std::uint64_t memoryBytes, int jobs)
{
    if (pages.empty()) return;
    if (pages.size() == 1) {
        const Image& page = pages.front();
        checkFrameMemory(path, static_cast<std::uint64_t>(page.width),
                         static_cast<std::uint64_t>(page.height),
                         hostBits != 0 ? hostBits : page.bits, memoryBytes, jobs);
        return;
    }
    const std::uint64_t needed = pagesRenderBytes(pages, hostBits);
    if (memoryBytes != 0 && needed > memoryBytes) {
        std::uint64_t pixels = 0;
        for (const Image& page : pages) {
            pixels +=
                static_cast<std::uint64_t>(page.width) * static_cast<std::uint64_t>(page.height);
        }
        throw CliError(fmt::format(
            "'{}' has {} pages of {} pixels in all; rendering them needs {:.1f} GB "
            "but {}",
            path.string(), pages.size(), pixels, gigabytes(needed), memoryHeld(memoryBytes, jobs)));
    }
}

}  // namespace telvix::cli
