#include "ofx_memory.h"

#include <cstdlib>
#include <new>

namespace telvix::ofx {

namespace {
constexpr std::size_t kFreeBlocksKept = 6;
}  // namespace

WorldMemory& worldMemory()
{
    static WorldMemory memory;
    return memory;
}

void* WorldMemory::take(std::size_t bytes)
{
    bytes = bytes == 0 ? 1 : bytes;
    {
        const Lock lock(busy_);
        // The smallest free block that is large enough.
        Block* best = nullptr;
        for (Block& b : blocks_) {
            if (!b.inUse && b.bytes >= bytes && (best == nullptr || b.bytes < best->bytes)) {
                best = &b;
            }
        }
        if (best != nullptr) {
            best->inUse = true;
            return best->data;
        }
    }
    void* data = std::malloc(bytes);
    if (data == nullptr) {
        // Free blocks too small for this render may stand in the way of one that fits.
        release();
        data = std::malloc(bytes);
        if (data == nullptr) return nullptr;
    }
    try {
        const Lock lock(busy_);
        blocks_.push_back(Block{data, bytes, true});
    } catch (const std::bad_alloc&) {
        std::free(data);
        return nullptr;
    }
    return data;
}

void WorldMemory::give(void* block)
{
    if (block == nullptr) return;
    const Lock lock(busy_);
    std::size_t free = 0;
    for (Block& b : blocks_) {
        if (b.data == block) b.inUse = false;
        free += b.inUse ? 0 : 1;
    }
    // Past the blocks kept, the block given back goes back to the system.
    if (free > kFreeBlocksKept) {
        for (std::size_t i = 0; i < blocks_.size(); ++i) {
            if (blocks_[i].data == block) {
                std::free(block);
                blocks_.erase(blocks_.begin() + std::ptrdiff_t(i));
                return;
            }
        }
    }
}

void WorldMemory::release()
{
    const Lock lock(busy_);
    std::size_t kept = 0;
    for (const Block& b : blocks_) {
        if (b.inUse) {
            blocks_[kept++] = b;
        } else {
            std::free(b.data);
        }
    }
    blocks_.resize(kept);
}

}  // namespace telvix::ofx
