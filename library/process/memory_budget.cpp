#include "memory_budget.h"

#include <fmt/format.h>
#include <malloc.h>
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

// A resource limit on the process's memory in bytes, or 0 when there is none.
std::uint64_t resourceLimit(int resource)
{
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    return limit.rlim_cur;
}

// What is left of `limit` after what the process already maps (`used`); 0 for no limit.
std::uint64_t leftOf(std::uint64_t limit, std::uint64_t used)
{
    if (limit == 0) return 0;
    return limit > used ? limit - used : 1;  // 1: nothing left, yet not "unknown"
}

}  // namespace

std::uint64_t physicalMemoryBytes()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

MemoryBudget MemoryBudget::share(int jobs) const
{
    MemoryBudget one = *this;
    one.bytes = bytes / static_cast<std::uint64_t>(std::max(jobs, 1));
    return one;
}

MemoryBudget memoryBudget()
{
    MemoryBudget budget(physicalMemoryBytes());
    const auto tighten = [&budget](std::uint64_t left, MemoryLimit source, std::uint64_t limit) {
        if (limit != 0 && (budget.bytes == 0 || left < budget.bytes)) {
            budget = MemoryBudget(left, source, limit);
        }
    };
    const std::uint64_t group = cgroupLimitBytes();
    tighten(group, MemoryLimit::ControlGroup, group);
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
    const std::uint64_t addressSpace = resourceLimit(RLIMIT_AS);
    tighten(leftOf(addressSpace, mapped), MemoryLimit::AddressSpace, addressSpace);
    const std::uint64_t dataLimit = resourceLimit(RLIMIT_DATA);
    tighten(leftOf(dataLimit, data), MemoryLimit::Data, dataLimit);
    return budget;
}

std::string describeBytes(std::uint64_t bytes, bool roundUp)
{
    constexpr std::uint64_t MB = std::uint64_t{1000} * 1000;
    constexpr std::uint64_t GB10 = 10 * MB;  // hundredths of a gigabyte
    if (bytes < 1000 * MB) {
        return fmt::format("{} MB", roundUp ? (bytes + MB - 1) / MB : bytes / MB);
    }
    const std::uint64_t hundredths = roundUp ? (bytes + GB10 - 1) / GB10 : bytes / GB10;
    return fmt::format("{}.{:02} GB", hundredths / 100, hundredths % 100);
}

namespace {

// How a user names the limit a budget comes from ("" for the machine's memory).
const char* limitName(MemoryLimit source)
{
    switch (source) {
        case MemoryLimit::ControlGroup:
            return "the control group's memory limit";
        case MemoryLimit::AddressSpace:
            return "the process's address-space limit (ulimit -v)";
        case MemoryLimit::Data:
            return "the process's data limit (ulimit -d)";
        case MemoryLimit::Machine:
            break;
    }
    return "";
}

}  // namespace

std::string describeMemory(const MemoryBudget& memory, int jobs)
{
    const std::string has = describeBytes(memory.bytes, false);
    const std::string limit = describeBytes(memory.limit, false);
    const char* name = limitName(memory.source);
    if (jobs > 1) {
        std::string whole;
        switch (memory.source) {
            case MemoryLimit::Machine:
                whole = "this machine's memory";
                break;
            case MemoryLimit::ControlGroup:
                whole = fmt::format("{} of {}", name, limit);
                break;
            case MemoryLimit::AddressSpace:
            case MemoryLimit::Data:
                whole = fmt::format("what {} leaves", name);
                break;
        }
        return fmt::format("each of the {} jobs has {} of {} (fewer --jobs give each more)", jobs,
                           has, whole);
    }
    switch (memory.source) {
        case MemoryLimit::ControlGroup:
            return fmt::format("{} is {}", name, limit);
        case MemoryLimit::AddressSpace:
        case MemoryLimit::Data:
            return fmt::format("{} leaves {}", name, has);
        case MemoryLimit::Machine:
            break;
    }
    return fmt::format("this machine has {} of memory", has);
}

std::string memoryLimitInForce()
{
    const MemoryBudget memory = memoryBudget();
    const std::string limit = describeBytes(memory.limit, false);
    if (memory.source != MemoryLimit::Machine) {
        return fmt::format("under {} of {}", limitName(memory.source), limit);
    }
    return memory.limit == 0 ? std::string("with the machine's memory in use")
                             : fmt::format("with this machine's {} of memory in use", limit);
}

std::string outOfMemoryMessage()
{
    return "out of memory: an allocation failed " + memoryLimitInForce();
}

std::string noThreadMessage(const std::string& what)
{
    return fmt::format("cannot start a thread ({}) {}", what, memoryLimitInForce());
}

void fitAllocatorToLimits()
{
    if (resourceLimit(RLIMIT_AS) != 0 || resourceLimit(RLIMIT_DATA) != 0) {
        mallopt(M_ARENA_MAX, 1);
    }
}

}  // namespace telvix::cli
