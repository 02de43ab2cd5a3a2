// The memory a run may use, where that figure comes from, and what a message says when memory
// runs out all the same.
#pragma once

#include <cstdint>
#include <string>

namespace telvix::cli {

// The machine's physical memory in bytes (0 when the system does not say).
std::uint64_t physicalMemoryBytes();

// Which limit a run's memory budget comes from: the tightest of them.
enum class MemoryLimit {
    Machine,       // the machine's physical memory
    ControlGroup,  // the process's control group (memory.max)
    AddressSpace,  // the process's address-space limit (ulimit -v, RLIMIT_AS)
    Data,          // the process's data limit (ulimit -d, RLIMIT_DATA)
};

// The memory a run may use and the limit it comes from. An address-space or data limit counts
// mappings, so `bytes` is what the process leaves of it; `limit` is the limit's own figure.
struct MemoryBudget {
    std::uint64_t bytes = 0;  // 0: unknown, nothing is checked
    MemoryLimit source = MemoryLimit::Machine;
    std::uint64_t limit = 0;
    MemoryBudget() = default;
    // A budget of the machine's memory (as tests and callers with a figure of their own give).
    MemoryBudget(std::uint64_t machineBytes)  // NOLINT: implicit on purpose
        : bytes(machineBytes), limit(machineBytes)
    {
    }
    MemoryBudget(std::uint64_t leftBytes, MemoryLimit from, std::uint64_t limitBytes)
        : bytes(leftBytes), source(from), limit(limitBytes)
    {
    }
    // One of `jobs` equal shares of it.
    MemoryBudget share(int jobs) const;
};

// The memory a run may use: the machine's physical memory, or less where the process's control
// group or its resource limits (address space, data) allow less.
MemoryBudget memoryBudget();
inline std::uint64_t memoryBudgetBytes() { return memoryBudget().bytes; }

// Bytes as messages give them: "98 MB" below 1 GB, else "9.60 GB". A figure needed is rounded
// up and one available rounded down, so that "needs" is never shown below "has" when it is more.
std::string describeBytes(std::uint64_t bytes, bool roundUp);

// What the memory there is comes to in a message: "this machine has 8.00 GB of memory", "the
// process's address-space limit (ulimit -v) leaves 98 MB", ...; with `jobs` > 1 one job's
// share of it.
std::string describeMemory(const MemoryBudget& memory, int jobs = 1);

// The one-line reason of an allocation that failed (std::bad_alloc), naming the limit the
// process runs under now: "out of memory: an allocation failed under the process's
// address-space limit (ulimit -v) of 640 MB".
std::string outOfMemoryMessage();

// The limit the process runs under now, as a failure that ran out of memory names it: "under
// the process's address-space limit (ulimit -v) of 640 MB", "with this machine's 8.00 GB of
// memory in use", ...
std::string memoryLimitInForce();

// The one-line reason of a thread that could not be started (std::system_error from
// std::thread, EAGAIN), with the limit that applies.
std::string noThreadMessage(const std::string& what);

// Under an address-space or data limit, keeps the C library's allocator from reserving 64 MB
// of address space for each thread that allocates (a run's budget counts what is mapped).
void fitAllocatorToLimits();

}  // namespace telvix::cli
