// A RowRunner of the tests' and benchmarks' own, on the calling thread: rows in bands, the bands
// run last first, so that a pass whose result depends on the order of its rows shows it (one
// band of the whole area runs the rows in order). Worlds are the stand-in host's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "AE_Effect.h"
#include "render_frame.h"
#include "standin_host.h"

namespace telvix::test {

class BandedRunner final : public RowRunner {
public:
    explicit BandedRunner(A_long bandRows = 3) : bandRows_(bandRows) {}

    PF_Err runRows(const RowJob<PF_Pixel8>& job, A_long, A_long) override { return run(job); }
    PF_Err runRows(const RowJob<PF_Pixel16>& job, A_long, A_long) override { return run(job); }

    // The overlap of the two worlds, row by row.
    PF_Err copyWorld(PF_EffectWorld* source, PF_EffectWorld* destination) override
    {
        const std::size_t pixel = PF_WORLD_IS_DEEP(source) ? sizeof(PF_Pixel16) : sizeof(PF_Pixel8);
        const A_long width = std::min(source->width, destination->width);
        auto* to = reinterpret_cast<char*>(destination->data);
        const auto* from = reinterpret_cast<const char*>(source->data);
        for (A_long y = 0; y < std::min(source->height, destination->height); ++y) {
            std::memmove(to + static_cast<std::ptrdiff_t>(y) * destination->rowbytes,
                         from + static_cast<std::ptrdiff_t>(y) * source->rowbytes,
                         static_cast<std::size_t>(width) * pixel);
        }
        return PF_Err_NONE;
    }
    PF_Err newWorld(A_long width, A_long height, PF_NewWorldFlags flags,
                    PF_EffectWorld* world) override
    {
        worlds_.push_back(std::make_unique<standin::World>(
            width, height, (flags & PF_NewWorldFlag_DEEP_PIXELS) != 0));
        *world = worlds_.back()->def();
        return PF_Err_NONE;
    }
    PF_Err disposeWorld(PF_EffectWorld* world) override
    {
        std::erase_if(worlds_, [world](const auto& w) { return w->def().data == world->data; });
        return PF_Err_NONE;
    }
    std::size_t liveWorlds() const { return worlds_.size(); }

private:
    template <typename Pixel>
    PF_Err run(const RowJob<Pixel>& job)
    {
        const A_long top = job.area.top;
        for (A_long band = (job.area.bottom - top - 1) / bandRows_; band >= 0; --band) {
            const A_long end = std::min(job.area.bottom, top + (band + 1) * bandRows_);
            for (A_long y = top + band * bandRows_; y < end; ++y) {
                job.row(job.context, y, job.area.left, job.area.right);
            }
        }
        return PF_Err_NONE;
    }

    A_long bandRows_;
    std::vector<std::unique_ptr<standin::World>> worlds_;
};

}  // namespace telvix::test
