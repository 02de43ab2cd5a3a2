// Memory for the renders' worlds, kept from one render to the next. A frame's worlds are large
// (66 MB each for a 3840x2160 16-bit frame) and fresh memory from the system costs a page fault
// per 4 KiB on first touch, more than the conversions themselves; a host renders frame after
// frame of one size, so the blocks of the last render serve the next. One store serves every
// instance; it keeps the free blocks of two renders at most (each takes three) and gives the
// rest back to the system.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

namespace telvix::ofx {

class WorldMemory {
public:
    WorldMemory() = default;
    WorldMemory(const WorldMemory&) = delete;
    WorldMemory& operator=(const WorldMemory&) = delete;
    ~WorldMemory() { release(); }

    // A block of at least `bytes` (contents undefined), or null when the memory cannot be had.
    // Safe to call from several renders at once.
    void* take(std::size_t bytes);
    // Gives back a block from take() for the next render.
    void give(void* block);
    // Frees every block not in use (the host's purge-caches action, and unloading).
    void release();

private:
    struct Block {
        void* data;
        std::size_t bytes;
        bool inUse;
    };
    // Held only to look up or change `blocks_`, never while pixels are worked on.
    class Lock {
    public:
        explicit Lock(std::atomic_flag& flag) : flag_(flag)
        {
            while (flag_.test_and_set(std::memory_order_acquire)) {
            }
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        ~Lock() { flag_.clear(std::memory_order_release); }

    private:
        std::atomic_flag& flag_;
    };
    std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
    std::vector<Block> blocks_;
};

// The plug-in's one store of world memory.
WorldMemory& worldMemory();

}  // namespace telvix::ofx
