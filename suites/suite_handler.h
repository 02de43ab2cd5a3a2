// Scope-bound access to the host's suites: a SuiteHandler acquires a suite the first time it is
// asked for, keeps it while the handler lives, and releases everything it acquired when it is
// destroyed, also when an exception unwinds its scope.
#pragma once

#include "AE_Effect.h"
#include "AE_EffectCBSuites.h"
#include "SPBasic.h"

namespace telvix {

// The object thrown when the host offers no basic suite, refuses a suite, or hands back a null
// table. The entry point turns every exception into PF_Err_INTERNAL_STRUCT_DAMAGED.
inline constexpr PF_Err kMissingSuiteError = PF_Err_BAD_CALLBACK_PARAM;

class SuiteHandler {
public:
    // Borrows the host's basic suite. Throws kMissingSuiteError at once when it is null, so
    // that constructing a handler doubles as the null check of in_data's pica_basicP.
    explicit SuiteHandler(SPBasicSuite* basicSuite);
    ~SuiteHandler();  // releases each acquired suite once; never throws
    SuiteHandler(const SuiteHandler&) = delete;
    SuiteHandler& operator=(const SuiteHandler&) = delete;

    // Each accessor acquires its suite on first use and returns the same table afterwards.
    // Throws kMissingSuiteError when the host refuses the suite or delivers a null table.
    const PF_Iterate8Suite1* iterate8Suite();
    const PF_iterate16Suite1* iterate16Suite();
    const PF_ANSICallbacksSuite1* ansiSuite();

private:
    // One slot per known (name, version) pair; a non-null table means one acquisition is held.
    struct Slot {
        const char* name;
        int32 version;
        const void* table;
    };
    enum SlotIndex { kIterate8, kIterate16, kAnsi, kSlotCount };

    const void* acquire(SlotIndex index);

    SPBasicSuite* basicSuite_;
    Slot slots_[kSlotCount];
};

}  // namespace telvix
