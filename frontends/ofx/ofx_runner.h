// The engine's RowRunner over an OpenFX host: row jobs in bands on the threads of the host's
// multithread suite (on the render's own thread when the host has none), the host's abort polled
// before every band, and worlds in memory of the plug-in's own.
#pragma once

#include <atomic>
#include <functional>

#include "ofx_host.h"
#include "ofx_memory.h"
#include "render_frame.h"

namespace telvix::ofx {

class OfxRowRunner final : public RowRunner {
public:
    // Worlds come from `memory`, which must outlive the runner.
    OfxRowRunner(OfxImageEffectHandle effect, WorldMemory& memory);

    PF_Err runRows(const RowJob<PF_Pixel8>& job, A_long progressBase,
                   A_long progressFinal) override;
    PF_Err runRows(const RowJob<PF_Pixel16>& job, A_long progressBase,
                   A_long progressFinal) override;
    PF_Err copyWorld(PF_EffectWorld* source, PF_EffectWorld* destination) override;
    PF_Err newWorld(A_long width, A_long height, PF_NewWorldFlags flags,
                    PF_EffectWorld* world) override;
    PF_Err disposeWorld(PF_EffectWorld* world) override;

    // Runs band(top, bottom) over the rows top <= y < bottom in bands, on the host's threads.
    // PF_Interrupt_CANCEL once the host asks to abort; the bands not yet begun are then skipped.
    // `band` must not throw.
    PF_Err forBands(A_long top, A_long bottom, const std::function<void(A_long, A_long)>& band);

    // Tells the runner that `destination` already holds a copy of `source`: the engine's next
    // copy between the two is then skipped. Any row job or other copy forgets it.
    void knownCopy(PF_EffectWorld* source, PF_EffectWorld* destination)
    {
        copiedFrom_ = source;
        copiedTo_ = destination;
    }

    // The host's threads this runner uses (1 without a multithread suite).
    unsigned threads() const { return threads_; }

private:
    OfxImageEffectHandle effect_;
    WorldMemory& memory_;
    unsigned threads_ = 1;
    PF_EffectWorld* copiedFrom_ = nullptr;
    PF_EffectWorld* copiedTo_ = nullptr;
};

// A world of the plug-in's own from `memory` (its pixels undefined until written); false when the
// memory cannot be had. freeWorld gives it back.
bool allocateWorld(WorldMemory& memory, A_long width, A_long height, bool deep,
                   PF_EffectWorld& world);
void freeWorld(WorldMemory& memory, PF_EffectWorld& world);

}  // namespace telvix::ofx
