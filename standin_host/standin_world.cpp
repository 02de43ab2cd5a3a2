// World: a host image buffer with optionally padded rows.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "standin_host.h"

namespace standin {

namespace {
// Worlds start on a cache line, as a host's image buffers do.
constexpr std::size_t kWorldAlignment = 64;
}  // namespace

void World::FreeStorage::operator()(std::uint8_t* p) const noexcept { std::free(p); }

// Lays out the rows rowPadding bytes longer than the pixels need, as hosts do for alignment,
// so that code which wrongly assumes width × pixel size per row fails the tests.
World::World(A_long width, A_long height, bool deep, A_long rowPadding, Start start)
{
    if (width < 0 || height < 0 || rowPadding < 0) {
        throw std::invalid_argument("World: negative width, height or row padding");
    }
    const std::size_t pixelSize = deep ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8);
    const std::size_t rowbytes = std::size_t(width) * pixelSize + std::size_t(rowPadding);
    if (rowbytes > std::size_t(INT32_MAX)) {
        throw std::length_error("World: rowbytes does not fit the host's 32-bit field");
    }
    // At least one byte, so that even an empty world has a distinct data address.
    const std::size_t bytes = std::max<std::size_t>(rowbytes * std::size_t(height), 1);
    // Large blocks come from the system page-aligned, so every world would start at the same
    // offset within a 4 KiB page, and a copy between two of them would read and write addresses
    // 4 KiB apart in lockstep (a slow case for the processor's store forwarding). A host's worlds
    // come from its own pools at unrelated offsets; successive worlds here start at one of 64
    // cache-line-aligned offsets in turn.
    static std::atomic<unsigned> worldsMade{0};
    const std::size_t offset = kWorldAlignment * ((worldsMade.fetch_add(1) * 9u) % 64u);
    const std::size_t allocated = bytes + kWorldAlignment * 64;
    storage_.reset(static_cast<std::uint8_t*>(start == Start::Cleared ? std::calloc(allocated, 1)
                                                                      : std::malloc(allocated)));
    if (!storage_) {
        throw std::bad_alloc();
    }
    auto* aligned = storage_.get() + offset;
    aligned += (kWorldAlignment - reinterpret_cast<std::uintptr_t>(aligned) % kWorldAlignment) %
               kWorldAlignment;
    def_.world_flags = PF_WorldFlag_WRITEABLE | (deep ? PF_WorldFlag_DEEP : 0);
    def_.data = reinterpret_cast<PF_PixelPtr>(aligned);
    def_.rowbytes = static_cast<A_long>(rowbytes);
    def_.width = width;
    def_.height = height;
    def_.extent_hint = PF_LRect{0, 0, width, height};
    def_.pix_aspect_ratio = PF_RationalScale{1, 1};
}

World::World(World&& other) noexcept : storage_(std::move(other.storage_)), def_(other.def_)
{
    other.def_ = PF_EffectWorld{};
}

World& World::operator=(World&& other) noexcept
{
    if (this != &other) {
        storage_ = std::move(other.storage_);
        def_ = other.def_;
        other.def_ = PF_EffectWorld{};
    }
    return *this;
}

World::~World() = default;

template <typename Pixel>
Pixel& World::at(A_long x, A_long y)
{
    return const_cast<Pixel&>(static_cast<const World&>(*this).at<Pixel>(x, y));
}

template <typename Pixel>
const Pixel& World::at(A_long x, A_long y) const
{
    if ((sizeof(Pixel) == sizeof(PF_Pixel16)) != deep()) {
        throw std::logic_error("World::at: pixel type does not match the world's depth");
    }
    if (x < 0 || y < 0 || x >= width() || y >= height()) {
        throw std::out_of_range("World::at: position outside the world");
    }
    const auto* base = reinterpret_cast<const std::uint8_t*>(def_.data);
    return *reinterpret_cast<const Pixel*>(base + std::ptrdiff_t(y) * def_.rowbytes +
                                           std::ptrdiff_t(x) * std::ptrdiff_t(sizeof(Pixel)));
}

template PF_Pixel8& World::at<PF_Pixel8>(A_long, A_long);
template PF_Pixel16& World::at<PF_Pixel16>(A_long, A_long);
template const PF_Pixel8& World::at<PF_Pixel8>(A_long, A_long) const;
template const PF_Pixel16& World::at<PF_Pixel16>(A_long, A_long) const;

// Row-wise memcmp of the pixel bytes only; the padding bytes may differ.
bool World::samePixels(const World& other) const
{
    if (width() != other.width() || height() != other.height() || deep() != other.deep()) {
        return false;
    }
    const std::size_t rowSize =
        std::size_t(width()) * (deep() ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8));
    const auto* a = reinterpret_cast<const std::uint8_t*>(def_.data);
    const auto* b = reinterpret_cast<const std::uint8_t*>(other.def_.data);
    for (A_long y = 0; y < height(); ++y) {
        if (std::memcmp(a + std::ptrdiff_t(y) * rowbytes(),
                        b + std::ptrdiff_t(y) * other.rowbytes(), rowSize) != 0) {
            return false;
        }
    }
    return true;
}

// FNV-1a over the pixel bytes of every row, row padding excluded.
std::uint64_t World::pixelChecksum() const
{
    std::uint64_t hash = 14695981039346656037ull;
    const std::size_t rowSize =
        std::size_t(width()) * (deep() ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8));
    const auto* base = reinterpret_cast<const std::uint8_t*>(def_.data);
    for (A_long y = 0; y < height(); ++y) {
        const std::uint8_t* row = base + std::ptrdiff_t(y) * rowbytes();
        for (std::size_t i = 0; i < rowSize; ++i) {
            hash = (hash ^ row[i]) * 1099511628211ull;
        }
    }
    return hash;
}

}  // namespace standin
