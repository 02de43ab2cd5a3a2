#include "suite_handler.h"

namespace telvix {

SuiteHandler::SuiteHandler(SPBasicSuite* basicSuite)
    : basicSuite_(basicSuite),
      slots_{{kPFIterate8Suite, kPFIterate8SuiteVersion1, nullptr},
             {kPFIterate16Suite, kPFIterate16SuiteVersion1, nullptr},
             {kPFANSISuite, kPFANSISuiteVersion1, nullptr}}
{
    if (basicSuite_ == nullptr) {
        throw kMissingSuiteError;
    }
}

SuiteHandler::~SuiteHandler()
{
    // Release in slot order; the host's answer changes nothing we could do here.
    for (const Slot& slot : slots_) {
        if (slot.table != nullptr) {
            basicSuite_->ReleaseSuite(slot.name, slot.version);
        }
    }
}

const void* SuiteHandler::acquire(SlotIndex index)
{
    Slot& slot = slots_[index];
    if (slot.table == nullptr) {
        const void* table = nullptr;
        const SPErr err = basicSuite_->AcquireSuite(slot.name, slot.version, &table);
        // A refusal leaves nothing to release; a "success" with a null table is no suite
        // either, and holds no acquisition we could release by name.
        if (err != kSPNoError || table == nullptr) {
            throw kMissingSuiteError;
        }
        slot.table = table;
    }
    return slot.table;
}

const PF_Iterate8Suite1* SuiteHandler::iterate8Suite()
{
    return static_cast<const PF_Iterate8Suite1*>(acquire(kIterate8));
}

const PF_iterate16Suite1* SuiteHandler::iterate16Suite()
{
    return static_cast<const PF_iterate16Suite1*>(acquire(kIterate16));
}

const PF_ANSICallbacksSuite1* SuiteHandler::ansiSuite()
{
    return static_cast<const PF_ANSICallbacksSuite1*>(acquire(kAnsi));
}

}  // namespace telvix
