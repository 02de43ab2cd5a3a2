// The image-effect and parameter suites, the descriptors' and instances' properties, and the
// actions of one render.
#include <algorithm>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <new>

#include "host_objects.h"

namespace telvix::ofxtest {

Param* ParamSet::find(const std::string& name) const
{
    for (const auto& p : params) {
        if (p->name == name) return p.get();
    }
    return nullptr;
}

Clip* Effect::clip(const std::string& name) const
{
    for (const auto& c : clips) {
        if (c->name == name) return c.get();
    }
    return nullptr;
}

void defineDescriptorProperties(PropertySet& p, const std::filesystem::path& binary)
{
    p.defineStrings(kOfxPropType, {kOfxTypeImageEffect});
    for (const char* name :
         {kOfxPropLabel, kOfxPropShortLabel, kOfxPropLongLabel, kOfxPropPluginDescription,
          kOfxPropVersionLabel, kOfxImageEffectPluginPropGrouping}) {
        p.defineStrings(name, {""});
    }
    p.defineInts(kOfxPropVersion, {}, true);
    p.defineStrings(kOfxImageEffectPropSupportedContexts, {}, true);
    p.defineStrings(kOfxImageEffectPropSupportedPixelDepths, {}, true);
    p.defineInts(kOfxImageEffectPluginPropSingleInstance, {0});
    p.defineInts(kOfxImageEffectPluginPropHostFrameThreading, {1});
    p.defineInts(kOfxImageEffectPropSupportsTiles, {1});
    p.defineInts(kOfxImageEffectPropSupportsMultiResolution, {1});
    p.defineInts(kOfxImageEffectPropTemporalClipAccess, {0});
    p.defineInts(kOfxImageEffectPropSupportsMultipleClipPARs, {0});
    p.defineInts(kOfxImageEffectPropSupportsMultipleClipDepths, {0});
    p.defineStrings(kOfxImageEffectPluginRenderThreadSafety, {kOfxImageEffectRenderInstanceSafe});
    p.defineInts(kOfxImageEffectInstancePropSequentialRender, {0});
    p.defineInts("OfxImageEffectPluginPropFieldRenderTwiceAlways", {1});
    // The bundle folder: <bundle>/Contents/<arch>/<binary>.
    p.defineStrings(kOfxPluginPropFilePath,
                    {binary.parent_path().parent_path().parent_path().string()});
}

namespace {

Effect* effectOf(OfxImageEffectHandle h)
{
    auto* e = reinterpret_cast<Effect*>(h);
    return e != nullptr && e->magic == kEffectMagic ? e : nullptr;
}
Clip* clipOf(OfxImageClipHandle h)
{
    auto* c = reinterpret_cast<Clip*>(h);
    return c != nullptr && c->magic == kClipMagic ? c : nullptr;
}
Param* paramOf(OfxParamHandle h)
{
    auto* p = reinterpret_cast<Param*>(h);
    return p != nullptr && p->magic == kParamMagic ? p : nullptr;
}
ParamSet* paramSetOf(OfxParamSetHandle h)
{
    auto* s = reinterpret_cast<ParamSet*>(h);
    return s != nullptr && s->magic == kParamSetMagic ? s : nullptr;
}

// ---- The image-effect suite

OfxStatus getPropertySet(OfxImageEffectHandle h, OfxPropertySetHandle* out)
{
    Effect* e = effectOf(h);
    if (e == nullptr || out == nullptr) return kOfxStatErrBadHandle;
    *out = e->props->handle();
    return kOfxStatOK;
}

OfxStatus getParamSet(OfxImageEffectHandle h, OfxParamSetHandle* out)
{
    Effect* e = effectOf(h);
    if (e == nullptr || out == nullptr) return kOfxStatErrBadHandle;
    *out = reinterpret_cast<OfxParamSetHandle>(&e->params);
    return kOfxStatOK;
}

OfxStatus clipDefine(OfxImageEffectHandle h, const char* name, OfxPropertySetHandle* out)
{
    Effect* e = effectOf(h);
    if (e == nullptr || name == nullptr || e->kind != Effect::Kind::Context) {
        return kOfxStatErrBadHandle;
    }
    if (e->clip(name) != nullptr) return kOfxStatErrExists;
    auto clip = std::make_unique<Clip>();
    clip->name = name;
    clip->owner = e;
    PropertySet& p = clip->props;
    p.defineStrings(kOfxPropType, {kOfxTypeClip});
    p.defineStrings(kOfxPropName, {name});
    p.defineStrings(kOfxPropLabel, {name});
    p.defineStrings(kOfxPropShortLabel, {name});
    p.defineStrings(kOfxPropLongLabel, {name});
    p.defineStrings(kOfxImageEffectPropSupportedComponents, {}, true);
    p.defineInts(kOfxImageEffectPropTemporalClipAccess, {0});
    p.defineInts(kOfxImageClipPropOptional, {0});
    p.defineInts(kOfxImageClipPropIsMask, {0});
    p.defineInts(kOfxImageEffectPropSupportsTiles, {1});
    p.defineStrings("OfxImageClipPropFieldExtraction", {"OfxImageFieldDoubled"});
    if (out != nullptr) *out = p.handle();
    e->clips.push_back(std::move(clip));
    return kOfxStatOK;
}

OfxStatus clipGetHandle(OfxImageEffectHandle h, const char* name, OfxImageClipHandle* clip,
                        OfxPropertySetHandle* out)
{
    Effect* e = effectOf(h);
    if (e == nullptr || name == nullptr || clip == nullptr) return kOfxStatErrBadHandle;
    Clip* c = e->clip(name);
    if (c == nullptr) return kOfxStatErrUnknown;
    *clip = reinterpret_cast<OfxImageClipHandle>(c);
    if (out != nullptr) *out = c->props.handle();
    return kOfxStatOK;
}

OfxStatus clipGetPropertySet(OfxImageClipHandle h, OfxPropertySetHandle* out)
{
    Clip* c = clipOf(h);
    if (c == nullptr || out == nullptr) return kOfxStatErrBadHandle;
    *out = c->props.handle();
    return kOfxStatOK;
}

std::vector<int> rectInts(const OfxRectI& r) { return {r.x1, r.y1, r.x2, r.y2}; }
std::vector<double> rectDoubles(const OfxRectI& r)
{
    return {double(r.x1), double(r.y1), double(r.x2), double(r.y2)};
}

OfxStatus clipGetImage(OfxImageClipHandle h, OfxTime /*time*/, const OfxRectD* /*region*/,
                       OfxPropertySetHandle* out)
{
    Clip* c = clipOf(h);
    if (c == nullptr || out == nullptr) return kOfxStatErrBadHandle;
    Effect* e = c->owner;
    if (e->kind != Effect::Kind::Instance || !e->render) return kOfxStatFailed;
    RenderState& r = *e->render;
    const bool source = c->name == kOfxImageEffectSimpleSourceClipName;
    if (!source && c->name != kOfxImageEffectOutputClipName) return kOfxStatFailed;
    if (source && r.setup.sourceMissing) return kOfxStatFailed;
    const ImageLayout& layout = source ? r.setup.source : r.output;
    Buffer& buffer = source ? r.source : r.out;
    auto image = std::make_unique<Image>();
    image->owner = e;
    PropertySet& p = image->props;
    static std::atomic<long> serial{0};
    p.defineStrings(kOfxPropType, {kOfxTypeImage});
    p.defineStrings(kOfxImageEffectPropPixelDepth, {layout.depth});
    p.defineStrings(kOfxImageEffectPropComponents, {layout.components});
    p.defineStrings(kOfxImageEffectPropPreMultiplication, {layout.premultiplication});
    p.defineDoubles(kOfxImageEffectPropRenderScale, {1, 1});
    p.defineDoubles(kOfxImagePropPixelAspectRatio, {1});
    p.definePointer(kOfxImagePropData, buffer.data());
    p.defineInts(kOfxImagePropBounds, rectInts(layout.bounds));
    p.defineInts(kOfxImagePropRegionOfDefinition, rectInts(layout.bounds));
    p.defineInts(kOfxImagePropRowBytes, {layout.rowBytes.value_or(buffer.rowBytes)});
    p.defineStrings(kOfxImagePropField, {kOfxImageFieldNone});
    p.defineStrings(kOfxImagePropUniqueIdentifier, {std::to_string(++serial)});
    *out = p.handle();
    ++r.liveImages;
    registerImage(std::move(image));
    return kOfxStatOK;
}

OfxStatus clipGetRegionOfDefinition(OfxImageClipHandle h, OfxTime /*time*/, OfxRectD* bounds)
{
    Clip* c = clipOf(h);
    if (c == nullptr || bounds == nullptr) return kOfxStatErrBadHandle;
    Effect* e = c->owner;
    if (e->kind != Effect::Kind::Instance || !e->render) return kOfxStatFailed;
    const bool source = c->name == kOfxImageEffectSimpleSourceClipName;
    const OfxRectI& r = source ? e->render->setup.source.bounds : e->render->output.bounds;
    *bounds = OfxRectD{double(r.x1), double(r.y1), double(r.x2), double(r.y2)};
    return kOfxStatOK;
}

int abortRender(OfxImageEffectHandle h)
{
    Effect* e = effectOf(h);
    if (e == nullptr || !e->render) return 0;
    const long calls = ++e->render->abortCalls;
    const long after = e->render->setup.abortAfter;
    return after >= 0 && calls > after ? 1 : 0;
}

struct ImageMemory {
    std::uint32_t magic = 0x494d454d;  // "IMEM"
    void* data = nullptr;
    int locks = 0;
};
ImageMemory* memoryOf(OfxImageMemoryHandle h)
{
    auto* m = reinterpret_cast<ImageMemory*>(h);
    return m != nullptr && m->magic == 0x494d454d ? m : nullptr;
}
OfxStatus imageMemoryAlloc(OfxImageEffectHandle /*instance*/, std::size_t bytes,
                           OfxImageMemoryHandle* out)
{
    if (out == nullptr) return kOfxStatErrBadHandle;
    auto* m = new (std::nothrow) ImageMemory;
    if (m == nullptr) return kOfxStatErrMemory;
    m->data = ::operator new(bytes == 0 ? 1 : bytes, std::align_val_t(16), std::nothrow);
    if (m->data == nullptr) {
        delete m;
        return kOfxStatErrMemory;
    }
    countImageMemory(1);
    *out = reinterpret_cast<OfxImageMemoryHandle>(m);
    return kOfxStatOK;
}
OfxStatus imageMemoryFree(OfxImageMemoryHandle h)
{
    ImageMemory* m = memoryOf(h);
    if (m == nullptr) return kOfxStatErrBadHandle;
    ::operator delete(m->data, std::align_val_t(16));
    m->magic = 0;
    delete m;
    countImageMemory(-1);
    return kOfxStatOK;
}
OfxStatus imageMemoryLock(OfxImageMemoryHandle h, void** out)
{
    ImageMemory* m = memoryOf(h);
    if (m == nullptr || out == nullptr) return kOfxStatErrBadHandle;
    ++m->locks;
    *out = m->data;
    return kOfxStatOK;
}
OfxStatus imageMemoryUnlock(OfxImageMemoryHandle h)
{
    ImageMemory* m = memoryOf(h);
    if (m == nullptr || m->locks == 0) return kOfxStatErrBadHandle;
    --m->locks;
    return kOfxStatOK;
}

const OfxImageEffectSuiteV1 kImageEffectSuite = {
    getPropertySet,     getParamSet,      clipDefine,      clipGetHandle,
    clipGetPropertySet, clipGetImage,     releaseImage,    clipGetRegionOfDefinition,
    abortRender,        imageMemoryAlloc, imageMemoryFree, imageMemoryLock,
    imageMemoryUnlock,
};

// ---- The parameter suite

// Components of a type's value: ints for the first three kinds, doubles for the others.
int valueCount(const std::string& type)
{
    if (type == kOfxParamTypeInteger || type == kOfxParamTypeBoolean ||
        type == kOfxParamTypeChoice || type == kOfxParamTypeDouble) {
        return 1;
    }
    if (type == kOfxParamTypeRGB) return 3;
    if (type == kOfxParamTypeRGBA) return 4;
    return 0;
}
bool intValued(const std::string& type)
{
    return type == kOfxParamTypeInteger || type == kOfxParamTypeBoolean ||
           type == kOfxParamTypeChoice;
}

OfxStatus paramDefine(OfxParamSetHandle h, const char* type, const char* name,
                      OfxPropertySetHandle* out)
{
    ParamSet* set = paramSetOf(h);
    if (set == nullptr || type == nullptr || name == nullptr) return kOfxStatErrBadHandle;
    if (!set->descriptor) return kOfxStatErrBadHandle;
    if (set->find(name) != nullptr) return kOfxStatErrExists;
    const std::string t = type;
    const bool known = valueCount(t) > 0 || t == kOfxParamTypePage || t == kOfxParamTypeGroup ||
                       t == kOfxParamTypePushButton;
    if (!known) return kOfxStatErrUnknown;
    auto param = std::make_unique<Param>();
    param->type = t;
    param->name = name;
    PropertySet& p = param->props;
    p.defineStrings(kOfxPropType, {kOfxTypeParameter});
    p.defineStrings(kOfxPropName, {name});
    p.defineStrings("OfxParamPropType", {t});
    for (const char* label : {kOfxPropLabel, kOfxPropShortLabel, kOfxPropLongLabel}) {
        p.defineStrings(label, {name});
    }
    p.defineStrings(kOfxParamPropScriptName, {name});
    p.defineStrings(kOfxParamPropHint, {""});
    p.defineStrings(kOfxParamPropParent, {""});
    p.defineInts(kOfxParamPropSecret, {0});
    p.defineInts(kOfxParamPropEnabled, {1});
    p.defineInts(kOfxParamPropEvaluateOnChange, {1});
    const int n = valueCount(t);
    if (n > 0) p.defineInts(kOfxParamPropAnimates, {1});
    if (intValued(t)) {
        p.defineInts(kOfxParamPropDefault, {0});
        if (t == kOfxParamTypeInteger) {
            p.defineInts(kOfxParamPropMin, {INT_MIN});
            p.defineInts(kOfxParamPropMax, {INT_MAX});
            p.defineInts(kOfxParamPropDisplayMin, {INT_MIN});
            p.defineInts(kOfxParamPropDisplayMax, {INT_MAX});
        }
        if (t == kOfxParamTypeChoice) p.defineStrings(kOfxParamPropChoiceOption, {}, true);
    } else if (n > 0) {
        const bool colour = t != kOfxParamTypeDouble;
        const auto all = [n](double v) { return std::vector<double>(std::size_t(n), v); };
        p.defineDoubles(kOfxParamPropDefault, all(0));
        p.defineDoubles(kOfxParamPropMin, all(colour ? 0 : -DBL_MAX));
        p.defineDoubles(kOfxParamPropMax, all(colour ? 1 : DBL_MAX));
        p.defineDoubles(kOfxParamPropDisplayMin, all(colour ? 0 : -DBL_MAX));
        p.defineDoubles(kOfxParamPropDisplayMax, all(colour ? 1 : DBL_MAX));
        if (!colour) {
            p.defineDoubles(kOfxParamPropIncrement, {1});
            p.defineInts(kOfxParamPropDigits, {2});
            p.defineStrings(kOfxParamPropDoubleType, {kOfxParamDoubleTypePlain});
        }
    }
    if (t == kOfxParamTypePage) p.defineStrings(kOfxParamPropPageChild, {}, true);
    if (out != nullptr) *out = p.handle();
    set->params.push_back(std::move(param));
    return kOfxStatOK;
}

OfxStatus paramGetHandle(OfxParamSetHandle h, const char* name, OfxParamHandle* param,
                         OfxPropertySetHandle* out)
{
    ParamSet* set = paramSetOf(h);
    if (set == nullptr || name == nullptr || param == nullptr) return kOfxStatErrBadHandle;
    Param* p = set->find(name);
    if (p == nullptr) return kOfxStatErrUnknown;
    *param = reinterpret_cast<OfxParamHandle>(p);
    if (out != nullptr) *out = p->props.handle();
    return kOfxStatOK;
}

OfxStatus paramSetGetPropertySet(OfxParamSetHandle h, OfxPropertySetHandle* out)
{
    ParamSet* set = paramSetOf(h);
    if (set == nullptr || out == nullptr) return kOfxStatErrBadHandle;
    *out = set->props.handle();
    return kOfxStatOK;
}

OfxStatus paramGetPropertySet(OfxParamHandle h, OfxPropertySetHandle* out)
{
    Param* p = paramOf(h);
    if (p == nullptr || out == nullptr) return kOfxStatErrBadHandle;
    *out = p->props.handle();
    return kOfxStatOK;
}

// Writes the value through one pointer per component, as the varargs carry them.
OfxStatus readValue(Param* p, va_list args)
{
    const int n = valueCount(p->type);
    if (n == 0) return kOfxStatErrBadHandle;
    for (int i = 0; i < n; ++i) {
        const double v = p->values[static_cast<std::size_t>(i)];
        if (intValued(p->type)) {
            int* out = va_arg(args, int*);
            if (out == nullptr) return kOfxStatErrBadHandle;
            *out = static_cast<int>(v);
        } else {
            double* out = va_arg(args, double*);
            if (out == nullptr) return kOfxStatErrBadHandle;
            *out = v;
        }
    }
    return kOfxStatOK;
}

OfxStatus writeValue(Param* p, va_list args)
{
    const int n = valueCount(p->type);
    if (n == 0) return kOfxStatErrBadHandle;
    for (int i = 0; i < n; ++i) {
        p->values[static_cast<std::size_t>(i)] =
            intValued(p->type) ? static_cast<double>(va_arg(args, int)) : va_arg(args, double);
    }
    return kOfxStatOK;
}

OfxStatus paramGetValue(OfxParamHandle h, ...)
{
    Param* p = paramOf(h);
    if (p == nullptr) return kOfxStatErrBadHandle;
    va_list args;
    va_start(args, h);
    const OfxStatus s = readValue(p, args);
    va_end(args);
    return s;
}
OfxStatus paramGetValueAtTime(OfxParamHandle h, OfxTime time, ...)
{
    Param* p = paramOf(h);
    if (p == nullptr) return kOfxStatErrBadHandle;
    va_list args;
    va_start(args, time);
    const OfxStatus s = readValue(p, args);
    va_end(args);
    return s;
}
OfxStatus paramGetDerivative(OfxParamHandle /*h*/, OfxTime /*time*/, ...)
{
    return kOfxStatErrUnsupported;
}
OfxStatus paramGetIntegral(OfxParamHandle /*h*/, OfxTime /*t1*/, OfxTime /*t2*/, ...)
{
    return kOfxStatErrUnsupported;
}
OfxStatus paramSetValue(OfxParamHandle h, ...)
{
    Param* p = paramOf(h);
    if (p == nullptr) return kOfxStatErrBadHandle;
    va_list args;
    va_start(args, h);
    const OfxStatus s = writeValue(p, args);
    va_end(args);
    return s;
}
OfxStatus paramSetValueAtTime(OfxParamHandle h, OfxTime time, ...)
{
    Param* p = paramOf(h);
    if (p == nullptr) return kOfxStatErrBadHandle;
    va_list args;
    va_start(args, time);
    const OfxStatus s = writeValue(p, args);
    va_end(args);
    return s;
}
OfxStatus paramGetNumKeys(OfxParamHandle h, unsigned int* count)
{
    if (paramOf(h) == nullptr || count == nullptr) return kOfxStatErrBadHandle;
    *count = 0;
    return kOfxStatOK;
}
OfxStatus paramGetKeyTime(OfxParamHandle /*h*/, unsigned int /*nth*/, OfxTime* /*time*/)
{
    return kOfxStatErrBadIndex;
}
OfxStatus paramGetKeyIndex(OfxParamHandle /*h*/, OfxTime /*time*/, int /*direction*/,
                           int* /*index*/)
{
    return kOfxStatFailed;
}
OfxStatus paramDeleteKey(OfxParamHandle /*h*/, OfxTime /*time*/) { return kOfxStatErrBadIndex; }
OfxStatus paramDeleteAllKeys(OfxParamHandle h)
{
    return paramOf(h) != nullptr ? kOfxStatOK : kOfxStatErrBadHandle;
}
OfxStatus paramCopy(OfxParamHandle /*to*/, OfxParamHandle /*from*/, OfxTime /*offset*/,
                    const OfxRangeD* /*range*/)
{
    return kOfxStatErrUnsupported;
}
OfxStatus paramEditBegin(OfxParamSetHandle /*set*/, const char* /*name*/) { return kOfxStatOK; }
OfxStatus paramEditEnd(OfxParamSetHandle /*set*/) { return kOfxStatOK; }

const OfxParameterSuiteV1 kParameterSuite = {
    paramDefine,      paramGetHandle,      paramSetGetPropertySet, paramGetPropertySet,
    paramGetValue,    paramGetValueAtTime, paramGetDerivative,     paramGetIntegral,
    paramSetValue,    paramSetValueAtTime, paramGetNumKeys,        paramGetKeyTime,
    paramGetKeyIndex, paramDeleteKey,      paramDeleteAllKeys,     paramCopy,
    paramEditBegin,   paramEditEnd,
};

// ---- Laying out images

Buffer makeBuffer(const ImageLayout& layout)
{
    Buffer b;
    const int width = std::max(0, layout.width());
    const int height = std::max(0, layout.height());
    b.stride = width * layout.pixelBytes() + std::max(0, layout.rowPadding);
    b.bytes.assign(std::max<std::size_t>(1, std::size_t(height) * std::size_t(b.stride)),
                   kSentinel);
    if (layout.negativeRowBytes && height > 0) {
        b.dataOffset = std::size_t(height - 1) * std::size_t(b.stride);
        b.rowBytes = -b.stride;
    } else {
        b.rowBytes = b.stride;
    }
    return b;
}

// Frame row `row` (top-down) of an image of `height` rows is OFX row height - 1 - row.
void fillSource(Buffer& b, const ImageLayout& layout, const std::vector<std::uint8_t>& pixels)
{
    const int height = layout.height();
    const std::size_t rowBytes = std::size_t(std::max(0, layout.width())) * layout.pixelBytes();
    if (rowBytes == 0 || pixels.size() < rowBytes * std::size_t(std::max(0, height))) return;
    for (int row = 0; row < height; ++row) {
        std::memcpy(b.row(height - 1 - row), pixels.data() + std::size_t(row) * rowBytes, rowBytes);
    }
}

void readOutput(Buffer& b, const ImageLayout& layout, const OfxRectI& window, RenderResult& result)
{
    const int width = layout.width();
    const int height = layout.height();
    const int pixel = layout.pixelBytes();
    result.pixels.assign(std::size_t(std::max(0, width)) * std::max(0, height) * pixel, 0);
    if (width <= 0 || pixel == 0) return;
    for (int row = 0; row < height; ++row) {
        const int y = layout.bounds.y2 - 1 - row;
        const std::uint8_t* in = b.row(y - layout.bounds.y1);
        std::memcpy(result.pixels.data() + std::size_t(row) * width * pixel, in,
                    std::size_t(width) * pixel);
        for (int x = layout.bounds.x1; x < layout.bounds.x2; ++x) {
            const bool inside = x >= window.x1 && x < window.x2 && y >= window.y1 && y < window.y2;
            if (inside) continue;
            const std::uint8_t* p = in + std::size_t(x - layout.bounds.x1) * pixel;
            if (std::any_of(p, p + pixel, [](std::uint8_t v) { return v != kSentinel; })) {
                result.outsideUntouched = false;
            }
        }
        const std::uint8_t* pad = in + std::size_t(width) * pixel;
        if (std::any_of(pad, in + b.stride, [](std::uint8_t v) { return v != kSentinel; })) {
            result.outsideUntouched = false;
        }
    }
}

void setClipLayout(Clip* clip, const ImageLayout& layout)
{
    if (clip == nullptr) return;
    PropertySet& p = clip->props;
    p.defineStrings(kOfxImageEffectPropPixelDepth, {layout.depth});
    p.defineStrings(kOfxImageEffectPropComponents, {layout.components});
    p.defineStrings(kOfxImageClipPropUnmappedPixelDepth, {layout.depth});
    p.defineStrings(kOfxImageClipPropUnmappedComponents, {layout.components});
    p.defineStrings(kOfxImageEffectPropPreMultiplication, {layout.premultiplication});
}

}  // namespace

const OfxImageEffectSuiteV1& imageEffectSuite() { return kImageEffectSuite; }
const OfxParameterSuiteV1& parameterSuite() { return kParameterSuite; }

// ---- Instances

std::unique_ptr<Instance> Host::createInstance(const std::string& context)
{
    Effect* descriptor = contextDescriptor(context);
    if (descriptor == nullptr) return nullptr;
    std::unique_ptr<Instance> instance(new Instance);
    instance->host_ = this;
    auto effect = std::make_unique<Effect>(Effect::Kind::Instance);
    effect->props = std::make_unique<PropertySet>(*descriptor->props);
    PropertySet& p = *effect->props;
    p.defineStrings(kOfxPropType, {kOfxTypeImageEffectInstance});
    p.definePointer(kOfxPropInstanceData, nullptr);
    p.defineInts(kOfxPropIsInteractive, {0});
    p.defineDoubles("OfxImageEffectPropProjectSize", {1920, 1080});
    p.defineDoubles("OfxImageEffectPropProjectOffset", {0, 0});
    p.defineDoubles("OfxImageEffectPropProjectExtent", {1920, 1080});
    p.defineDoubles("OfxImageEffectPropProjectPixelAspectRatio", {1});
    p.defineDoubles("OfxImageEffectInstancePropEffectDuration", {1});
    p.defineDoubles(kOfxImageEffectPropFrameRate, {25});
    p.setStrict(true);
    for (const auto& clipDescriptor : descriptor->clips) {
        auto clip = std::make_unique<Clip>();
        clip->name = clipDescriptor->name;
        clip->owner = effect.get();
        clip->props = PropertySet(clipDescriptor->props);
        PropertySet& c = clip->props;
        c.defineDoubles(kOfxImagePropPixelAspectRatio, {1});
        c.defineInts(kOfxImageClipPropConnected, {1});
        c.defineDoubles(kOfxImageEffectPropFrameRate, {25});
        c.defineDoubles("OfxImageEffectPropFrameRange", {0, 0});
        c.defineDoubles("OfxImageEffectPropUnmappedFrameRate", {25});
        c.defineDoubles("OfxImageEffectPropUnmappedFrameRange", {0, 0});
        c.defineStrings(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
        c.defineInts(kOfxImageClipPropContinuousSamples, {0});
        setClipLayout(clip.get(), ImageLayout{});
        c.setStrict(true);
        effect->clips.push_back(std::move(clip));
    }
    effect->params.descriptor = false;
    effect->params.props = PropertySet(descriptor->params.props);
    for (const auto& d : descriptor->params.params) {
        auto param = std::make_unique<Param>();
        param->type = d->type;
        param->name = d->name;
        param->props = PropertySet(d->props);
        param->props.setStrict(true);
        const int n = valueCount(d->type);
        for (int i = 0; i < n; ++i) {
            param->values.push_back(intValued(d->type)
                                        ? d->props.intValue(kOfxParamPropDefault, i)
                                        : d->props.doubleValue(kOfxParamPropDefault, i));
        }
        effect->params.params.push_back(std::move(param));
    }
    instance->effect_ = std::move(effect);
    instance->createStatus_ =
        callAction(kOfxActionCreateInstance, instance->effect_.get(), nullptr, nullptr);
    if (instance->createStatus_ == kOfxStatReplyDefault) instance->createStatus_ = kOfxStatOK;
    return instance;
}

Instance::~Instance()
{
    if (createStatus_ == kOfxStatOK) {
        host_->callAction(kOfxActionDestroyInstance, effect_.get(), nullptr, nullptr);
    }
}

bool Instance::setParam(const std::string& name, const std::vector<double>& values)
{
    Param* p = effect_->params.find(name);
    if (p == nullptr || p->values.size() != values.size()) return false;
    p->values = values;
    return true;
}

std::vector<double> Instance::paramValue(const std::string& name) const
{
    Param* p = effect_->params.find(name);
    return p != nullptr ? p->values : std::vector<double>{};
}

RenderResult Instance::render(const RenderSetup& setup)
{
    RenderResult result;
    Effect& e = *effect_;
    auto state = std::make_unique<RenderState>();
    state->setup = setup;
    state->output = setup.output;
    const OfxRectI zero{0, 0, 0, 0};
    if (std::memcmp(&setup.output.bounds, &zero, sizeof zero) == 0) {
        state->output.bounds = setup.source.bounds;
    }
    state->source = makeBuffer(setup.source);
    fillSource(state->source, setup.source, setup.sourcePixels);
    state->out = makeBuffer(state->output);
    const ImageLayout& out = state->output;
    const OfxRectI window = setup.renderWindow.value_or(out.bounds);
    setClipLayout(e.clip(kOfxImageEffectSimpleSourceClipName), setup.source);
    setClipLayout(e.clip(kOfxImageEffectOutputClipName), out);
    e.render = std::move(state);

    const auto fail = [&](const char* action, OfxStatus status) {
        if (result.failedAction.empty()) {
            result.failedAction = action;
            result.status = status;
        }
    };
    const std::vector<double> scale{1, 1};
    {
        PropertySet outArgs;
        for (const char* clip : {"Source", "Output"}) {
            const ImageLayout& l = std::strcmp(clip, "Source") == 0 ? setup.source : out;
            outArgs.defineStrings(std::string(kOfxImageClipPropComponents_) + clip, {l.components});
            outArgs.defineStrings(std::string(kOfxImageClipPropDepth_) + clip, {l.depth});
            outArgs.defineDoubles(std::string(kOfxImageClipPropPAR_) + clip, {1});
        }
        outArgs.defineStrings(kOfxImageEffectPropPreMultiplication,
                              {setup.source.premultiplication});
        outArgs.defineDoubles(kOfxImageEffectPropFrameRate, {25});
        outArgs.defineStrings(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
        outArgs.defineInts(kOfxImageClipPropContinuousSamples, {0});
        outArgs.defineInts(kOfxImageEffectFrameVarying, {0});
        const OfxStatus s =
            host_->callAction(kOfxImageEffectActionGetClipPreferences, &e, nullptr, &outArgs);
        if (s != kOfxStatOK && s != kOfxStatReplyDefault) fail("GetClipPreferences", s);
    }
    if (result.failedAction.empty()) {
        PropertySet in;
        in.defineDoubles(kOfxPropTime, {setup.time});
        in.defineDoubles(kOfxImageEffectPropRenderScale, scale);
        PropertySet outArgs;
        outArgs.defineDoubles(kOfxImageEffectPropRegionOfDefinition,
                              rectDoubles(setup.source.bounds));
        const OfxStatus s =
            host_->callAction(kOfxImageEffectActionGetRegionOfDefinition, &e, &in, &outArgs);
        if (s == kOfxStatOK) result.rod = outArgs.doubles(kOfxImageEffectPropRegionOfDefinition);
        if (s != kOfxStatOK && s != kOfxStatReplyDefault) fail("GetRegionOfDefinition", s);
    }
    if (result.failedAction.empty()) {
        PropertySet in;
        in.defineDoubles(kOfxPropTime, {setup.time});
        in.defineDoubles(kOfxImageEffectPropRenderScale, scale);
        in.defineDoubles(kOfxImageEffectPropRegionOfInterest, rectDoubles(window));
        PropertySet outArgs;
        const std::string roi = std::string(kOfxImageClipPropRoI_) + "Source";
        outArgs.defineDoubles(roi, rectDoubles(window));
        const OfxStatus s =
            host_->callAction(kOfxImageEffectActionGetRegionsOfInterest, &e, &in, &outArgs);
        if (s == kOfxStatOK) result.roiSource = outArgs.doubles(roi);
        if (s != kOfxStatOK && s != kOfxStatReplyDefault) fail("GetRegionsOfInterest", s);
    }
    const auto sequenceArgs = [&] {
        auto in = std::make_unique<PropertySet>();
        in->defineDoubles(kOfxImageEffectPropFrameRange, {setup.time, setup.time});
        in->defineDoubles(kOfxImageEffectPropFrameStep, {1});
        in->defineInts(kOfxPropIsInteractive, {0});
        in->defineDoubles(kOfxImageEffectPropRenderScale, scale);
        in->defineInts(kOfxImageEffectPropSequentialRenderStatus, {1});
        in->defineInts(kOfxImageEffectPropInteractiveRenderStatus, {0});
        return in;
    };
    bool begun = false;
    if (result.failedAction.empty()) {
        const auto in = sequenceArgs();
        const OfxStatus s =
            host_->callAction(kOfxImageEffectActionBeginSequenceRender, &e, in.get(), nullptr);
        if (s != kOfxStatOK && s != kOfxStatReplyDefault) fail("BeginSequenceRender", s);
        begun = result.failedAction.empty();
    }
    if (begun) {
        PropertySet in;
        in.defineDoubles(kOfxPropTime, {setup.time});
        in.defineStrings(kOfxImageEffectPropFieldToRender, {kOfxImageFieldNone});
        in.defineInts(kOfxImageEffectPropRenderWindow, rectInts(window));
        in.defineDoubles(kOfxImageEffectPropRenderScale, scale);
        in.defineInts(kOfxImageEffectPropSequentialRenderStatus, {1});
        in.defineInts(kOfxImageEffectPropInteractiveRenderStatus, {0});
        in.defineInts(kOfxImageEffectPropRenderQualityDraft, {0});
        // Rendered again on the same images as often as asked (benchmarks time each call).
        for (int i = 0; i < std::max(setup.renderRepeats, 1); ++i) {
            const auto start = std::chrono::steady_clock::now();
            const OfxStatus s = host_->callAction(kOfxImageEffectActionRender, &e, &in, nullptr);
            result.renderSeconds.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            if (s != kOfxStatOK) fail("Render", s);
        }
        result.imagesLeaked = e.render->liveImages.load();
        dropImagesOf(&e);
        const auto endIn = sequenceArgs();
        const OfxStatus end =
            host_->callAction(kOfxImageEffectActionEndSequenceRender, &e, endIn.get(), nullptr);
        if (end != kOfxStatOK && end != kOfxStatReplyDefault) fail("EndSequenceRender", end);
    }
    result.abortCalls = e.render->abortCalls.load();
    readOutput(e.render->out, out, window, result);
    dropImagesOf(&e);
    e.render.reset();
    return result;
}

}  // namespace telvix::ofxtest
