// The one piece of work every benchmark here times: a whole render through the plug-in's entry
// point, or, for the copy floor, one plain whole-frame copy by the host.
#pragma once

#include "standin_host.h"

namespace bench {

inline PF_Err renderOrCopy(standin::Host& host, standin::World& input, standin::World& output,
                           const standin::Settings& settings, bool copyOnly)
{
    if (copyOnly) {
        // The copy callback finds its host through the thread's current host, as in a command.
        standin::Host::Scope scope(host);
        return host.inData().utils->copy(host.inData().effect_ref, &input.def(), &output.def(),
                                         nullptr, nullptr);
    }
    return host.render(input, output, settings);
}

}  // namespace bench
