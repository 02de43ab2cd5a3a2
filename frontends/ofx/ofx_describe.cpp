// The describe actions: what the effect is, the contexts, clips and depths it takes, and its
// three controls, with the labels, defaults and ranges they have in every host.
#include <string>

#include "ofx_instance.h"
#include "string_table.h"
#include "telvix_params.h"
#include "telvix_version.h"

namespace telvix::ofx {

namespace {

// The first line of the About text: the effect's one-line description.
std::string description()
{
    const std::string text = stringFor(kStrDescription);
    return text.substr(0, text.find('\r'));
}

Properties defineParam(OfxParamSetHandle set, const char* type, const char* name, const char* label,
                       const char* hint)
{
    OfxPropertySetHandle props = nullptr;
    suites().parameter->paramDefine(set, type, name, &props);
    const Properties p(props);
    if (props != nullptr) {
        p.setString(kOfxPropLabel, label);
        p.setString(kOfxParamPropScriptName, name);
        p.setString(kOfxParamPropHint, hint);
        p.setInt(kOfxParamPropAnimates, 1);
    }
    return p;
}

void defineClip(OfxImageEffectHandle descriptor, const char* name)
{
    OfxPropertySetHandle props = nullptr;
    if (suites().effect->clipDefine(descriptor, name, &props) != kOfxStatOK || props == nullptr) {
        return;
    }
    const Properties clip(props);
    clip.setStrings(kOfxImageEffectPropSupportedComponents,
                    {kOfxImageComponentRGBA, kOfxImageComponentRGB});
    clip.setInt(kOfxImageEffectPropSupportsTiles, 0);
    clip.setInt(kOfxImageClipPropOptional, 0);
}

}  // namespace

OfxStatus describe(OfxImageEffectHandle descriptor)
{
    OfxPropertySetHandle handle = nullptr;
    if (suites().effect->getPropertySet(descriptor, &handle) != kOfxStatOK || handle == nullptr) {
        return kOfxStatErrBadHandle;
    }
    const Properties p(handle);
    p.setString(kOfxPropLabel, stringFor(kStrName));
    p.setString(kOfxPropShortLabel, stringFor(kStrName));
    p.setString(kOfxPropLongLabel, stringFor(kStrName));
    p.setString(kOfxImageEffectPluginPropGrouping, TELVIX_CATEGORY);
    p.setString(kOfxPropPluginDescription, description().c_str());
    p.setInts(kOfxPropVersion, {TELVIX_MAJOR_VERSION, TELVIX_MINOR_VERSION, TELVIX_BUG_VERSION});
    p.setString(kOfxPropVersionLabel, TELVIX_VERSION_TEXT);
    p.setStrings(kOfxImageEffectPropSupportedContexts,
                 {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral});
    p.setStrings(kOfxImageEffectPropSupportedPixelDepths,
                 {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat});
    p.setInt(kOfxImageEffectPluginPropSingleInstance, 0);
    // The plug-in splits each frame over the host's threads itself; the host may render several
    // frames and instances at once.
    p.setInt(kOfxImageEffectPluginPropHostFrameThreading, 0);
    p.setString(kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderFullySafe);
    // A step run can reach across the whole frame, so a tile is never rendered on its own.
    p.setInt(kOfxImageEffectPropSupportsTiles, 0);
    // The effect works on pixels: a proxy render would not be the full render scaled.
    p.setInt(kOfxImageEffectPropSupportsMultiResolution, 0);
    p.setInt(kOfxImageEffectPropTemporalClipAccess, 0);
    p.setInt(kOfxImageEffectPropSupportsMultipleClipDepths, 0);
    p.setInt(kOfxImageEffectPropSupportsMultipleClipPARs, 0);
    return kOfxStatOK;
}

OfxStatus describeInContext(OfxImageEffectHandle descriptor, OfxPropertySetHandle inArgs)
{
    const std::string context = Properties(inArgs).getString(kOfxImageEffectPropContext);
    if (context != kOfxImageEffectContextFilter && context != kOfxImageEffectContextGeneral) {
        return kOfxStatErrMissingHostFeature;
    }
    defineClip(descriptor, kOfxImageEffectSimpleSourceClipName);
    defineClip(descriptor, kOfxImageEffectOutputClipName);

    OfxParamSetHandle set = nullptr;
    if (suites().effect->getParamSet(descriptor, &set) != kOfxStatOK || set == nullptr) {
        return kOfxStatErrBadHandle;
    }
    const Properties useKey = defineParam(
        set, kOfxParamTypeBoolean, kUseColorKeyParam, stringFor(kStrUseColorKeyName),
        "Makes every fully opaque pixel of exactly the key colour transparent before smoothing.");
    useKey.setInt(kOfxParamPropDefault, kUseColorKeyDefault);

    const Properties key =
        defineParam(set, kOfxParamTypeRGB, kColorKeyParam, stringFor(kStrColorKeyName),
                    "The colour the key removes, matched exactly at 8 bits per channel.");
    key.setDoubles(kOfxParamPropDefault,
                   {kColorKeyDefault.red / 255.0, kColorKeyDefault.green / 255.0,
                    kColorKeyDefault.blue / 255.0});
    key.setDoubles(kOfxParamPropMin, {0.0, 0.0, 0.0});
    key.setDoubles(kOfxParamPropMax, {1.0, 1.0, 1.0});
    key.setDoubles(kOfxParamPropDisplayMin, {0.0, 0.0, 0.0});
    key.setDoubles(kOfxParamPropDisplayMax, {1.0, 1.0, 1.0});

    const Properties range = defineParam(
        set, kOfxParamTypeInteger, kSmoothRangeParam, stringFor(kStrSmoothRangeName),
        "How far two colours may differ, channel by channel in 8-bit steps at every depth, and "
        "still count as the same colour. 0 means exact equality.");
    range.setInt(kOfxParamPropDefault, kSmoothRangeDefault);
    range.setInt(kOfxParamPropMin, kSmoothRangeMin);
    range.setInt(kOfxParamPropMax, kSmoothRangeMax);
    range.setInt(kOfxParamPropDisplayMin, kSmoothRangeMin);
    range.setInt(kOfxParamPropDisplayMax, kSmoothRangeMax);

    OfxPropertySetHandle pageProps = nullptr;
    suites().parameter->paramDefine(set, kOfxParamTypePage, kControlsPage, &pageProps);
    if (pageProps != nullptr) {
        const Properties page(pageProps);
        page.setString(kOfxPropLabel, kControlsPage);
        page.setStrings(kOfxParamPropPageChild,
                        {kUseColorKeyParam, kColorKeyParam, kSmoothRangeParam});
    }
    OfxPropertySetHandle setProps = nullptr;
    if (suites().parameter->paramSetGetPropertySet(set, &setProps) == kOfxStatOK &&
        setProps != nullptr) {
        Properties(setProps).setString(kOfxPluginPropParamPageOrder, kControlsPage);
    }
    return kOfxStatOK;
}

}  // namespace telvix::ofx
