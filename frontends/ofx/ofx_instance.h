// One instance of the effect in a host: its clips and controls, found once when it is created.
#pragma once

#include "ofx_host.h"
#include "render_frame.h"

namespace telvix::ofx {

// The controls' names, which are also their script names; stored in users' projects.
inline constexpr const char* kUseColorKeyParam = "useColorKey";
inline constexpr const char* kColorKeyParam = "colorKey";
inline constexpr const char* kSmoothRangeParam = "smoothRange";
inline constexpr const char* kControlsPage = "Controls";

struct Instance {
    OfxImageClipHandle source = nullptr;
    OfxImageClipHandle output = nullptr;
    OfxParamHandle useColorKey = nullptr;
    OfxParamHandle colorKey = nullptr;
    OfxParamHandle smoothRange = nullptr;
};

// The instance data of `effect`, set by the create-instance action; null before.
Instance* instanceOf(OfxImageEffectHandle effect);

// The controls at `time`, in the engine's terms: the key colour as 8-bit channels (each 0-1
// value rounded to the nearest of 0-255), the tolerance in 8-bit units.
FrameControls controlsAt(const Instance& instance, OfxTime time);

// The actions of an instance.
OfxStatus createInstance(OfxImageEffectHandle effect);
OfxStatus destroyInstance(OfxImageEffectHandle effect);
OfxStatus regionsOfInterest(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs,
                            OfxPropertySetHandle outArgs);
OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);

// The describe actions (ofx_describe.cpp).
OfxStatus describe(OfxImageEffectHandle descriptor);
OfxStatus describeInContext(OfxImageEffectHandle descriptor, OfxPropertySetHandle inArgs);

}  // namespace telvix::ofx
