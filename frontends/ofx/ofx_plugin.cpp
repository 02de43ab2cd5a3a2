// The plug-in's exports and its main entry: one image effect, its actions dispatched, and no
// exception ever leaving the library.
#include <cstring>
#include <new>

#include "ofx_instance.h"
#include "ofx_memory.h"
#include "telvix_version.h"

namespace telvix::ofx {

namespace {

constexpr const char* kPluginIdentifier = TELVIX_OFX_IDENTIFIER;  // also names the icon

Properties effectProperties(OfxImageEffectHandle effect)
{
    OfxPropertySetHandle handle = nullptr;
    suites().effect->getPropertySet(effect, &handle);
    return Properties(handle);
}

OfxStatus dispatch(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                   OfxPropertySetHandle outArgs)
{
    // The handle is the effect (descriptor or instance) for every image-effect action.
    auto* effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
    const auto is = [action](const char* name) { return std::strcmp(action, name) == 0; };
    if (is(kOfxActionLoad)) return loadSuites();
    if (is(kOfxActionUnload)) {
        worldMemory().release();
        unloadSuites();
        return kOfxStatOK;
    }
    // Every other action needs the suites the load fetched.
    if (suites().effect == nullptr) return kOfxStatErrMissingHostFeature;
    if (is(kOfxActionDescribe)) return describe(effect);
    if (is(kOfxImageEffectActionDescribeInContext)) return describeInContext(effect, inArgs);
    if (is(kOfxActionCreateInstance)) return createInstance(effect);
    if (is(kOfxActionDestroyInstance)) return destroyInstance(effect);
    if (is(kOfxActionPurgeCaches)) {
        worldMemory().release();
        return kOfxStatOK;
    }
    if (is(kOfxImageEffectActionGetRegionsOfInterest)) {
        return regionsOfInterest(effect, inArgs, outArgs);
    }
    if (is(kOfxImageEffectActionRender)) return render(effect, inArgs);
    return kOfxStatReplyDefault;
}

OfxStatus mainEntry(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                    OfxPropertySetHandle outArgs)
{
    if (action == nullptr) return kOfxStatErrBadHandle;
    try {
        return dispatch(action, handle, inArgs, outArgs);
    } catch (const std::bad_alloc&) {
        return kOfxStatErrMemory;
    } catch (...) {
        return kOfxStatErrFatal;
    }
}

void setHost(OfxHost* host) { suites().host = host; }

OfxPlugin plugin{kOfxImageEffectPluginApi,
                 kOfxImageEffectPluginApiVersion,
                 kPluginIdentifier,
                 TELVIX_MAJOR_VERSION,
                 TELVIX_MINOR_VERSION,
                 &setHost,
                 &mainEntry};

}  // namespace

Instance* instanceOf(OfxImageEffectHandle effect)
{
    const Properties p = effectProperties(effect);
    if (p.handle() == nullptr) return nullptr;
    return static_cast<Instance*>(p.getPointer(kOfxPropInstanceData));
}

OfxStatus createInstance(OfxImageEffectHandle effect)
{
    const Properties p = effectProperties(effect);
    OfxParamSetHandle params = nullptr;
    if (p.handle() == nullptr || suites().effect->getParamSet(effect, &params) != kOfxStatOK) {
        return kOfxStatErrBadHandle;
    }
    auto* instance = new Instance;
    const OfxImageEffectSuiteV1* fx = suites().effect;
    const OfxParameterSuiteV1* param = suites().parameter;
    const bool found =
        fx->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &instance->source,
                          nullptr) == kOfxStatOK &&
        fx->clipGetHandle(effect, kOfxImageEffectOutputClipName, &instance->output, nullptr) ==
            kOfxStatOK &&
        param->paramGetHandle(params, kUseColorKeyParam, &instance->useColorKey, nullptr) ==
            kOfxStatOK &&
        param->paramGetHandle(params, kColorKeyParam, &instance->colorKey, nullptr) == kOfxStatOK &&
        param->paramGetHandle(params, kSmoothRangeParam, &instance->smoothRange, nullptr) ==
            kOfxStatOK;
    if (!found) {
        delete instance;
        return kOfxStatErrBadHandle;
    }
    p.setPointer(kOfxPropInstanceData, instance);
    return kOfxStatOK;
}

OfxStatus destroyInstance(OfxImageEffectHandle effect)
{
    const Properties p = effectProperties(effect);
    if (p.handle() == nullptr) return kOfxStatErrBadHandle;
    delete static_cast<Instance*>(p.getPointer(kOfxPropInstanceData));
    p.setPointer(kOfxPropInstanceData, nullptr);
    return kOfxStatOK;
}

}  // namespace telvix::ofx

extern "C" {

OfxExport int OfxGetNumberOfPlugins(void) { return 1; }

OfxExport OfxPlugin* OfxGetPlugin(int nth) { return nth == 0 ? &telvix::ofx::plugin : nullptr; }
}
