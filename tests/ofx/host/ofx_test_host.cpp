#include "ofx_test_host.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <utility>

#include "host_objects.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace telvix::ofxtest {

int bytesPerSample(const std::string& depth)
{
    if (depth == kOfxBitDepthByte) return 1;
    if (depth == kOfxBitDepthShort) return 2;
    if (depth == kOfxBitDepthFloat) return 4;
    return 0;
}

int componentCount(const std::string& components)
{
    if (components == kOfxImageComponentRGBA) return 4;
    if (components == kOfxImageComponentRGB) return 3;
    if (components == kOfxImageComponentAlpha) return 1;
    return 0;
}

// ---- Property sets

std::size_t Property::size() const
{
    switch (type) {
        case PropType::Int:
            return ints.size();
        case PropType::Double:
            return doubles.size();
        case PropType::String:
            return strings.size();
        case PropType::Pointer:
            return pointers.size();
    }
    return 0;
}

PropertySet::PropertySet(const PropertySet& other) : strict_(other.strict_)
{
    const HostGuard lock(other.mutex_);
    props_ = other.props_;
    initial_ = other.initial_;
}

PropertySet& PropertySet::operator=(const PropertySet& other)
{
    if (this == &other) return *this;
    const PropertySet copy(other);
    const HostGuard lock(mutex_);
    strict_ = copy.strict_;
    props_ = copy.props_;
    initial_ = copy.initial_;
    return *this;
}

namespace {

template <typename T>
constexpr PropType typeOf()
{
    if constexpr (std::is_same_v<T, int>) return PropType::Int;
    if constexpr (std::is_same_v<T, double>) return PropType::Double;
    if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) {
        return PropType::String;
    }
    return PropType::Pointer;
}

template <typename T>
void store(Property& p, std::size_t i, T value)
{
    if constexpr (std::is_same_v<T, int>) p.ints[i] = value;
    if constexpr (std::is_same_v<T, double>) p.doubles[i] = value;
    if constexpr (std::is_same_v<T, const char*>) p.strings[i] = value != nullptr ? value : "";
    if constexpr (std::is_same_v<T, void*>) p.pointers[i] = value;
}

template <typename T>
T load(const Property& p, std::size_t i)
{
    if constexpr (std::is_same_v<T, int>) return p.ints[i];
    if constexpr (std::is_same_v<T, double>) return p.doubles[i];
    if constexpr (std::is_same_v<T, char*>) return const_cast<char*>(p.strings[i].c_str());
    if constexpr (std::is_same_v<T, void*>) return p.pointers[i];
}

void resize(Property& p, std::size_t n)
{
    switch (p.type) {
        case PropType::Int:
            p.ints.resize(n);
            break;
        case PropType::Double:
            p.doubles.resize(n);
            break;
        case PropType::String:
            p.strings.resize(n);
            break;
        case PropType::Pointer:
            p.pointers.resize(n);
            break;
    }
}

}  // namespace

void PropertySet::defineInts(const std::string& name, std::vector<int> values, bool variable)
{
    Property p;
    p.type = PropType::Int;
    p.fixedDimension = !variable;
    p.ints = std::move(values);
    const HostGuard lock(mutex_);
    props_[name] = p;
    initial_[name] = p;
}

void PropertySet::defineDoubles(const std::string& name, std::vector<double> values, bool variable)
{
    Property p;
    p.type = PropType::Double;
    p.fixedDimension = !variable;
    p.doubles = std::move(values);
    const HostGuard lock(mutex_);
    props_[name] = p;
    initial_[name] = p;
}

void PropertySet::defineStrings(const std::string& name, std::vector<std::string> values,
                                bool variable)
{
    Property p;
    p.type = PropType::String;
    p.fixedDimension = !variable;
    p.strings = std::move(values);
    const HostGuard lock(mutex_);
    props_[name] = p;
    initial_[name] = p;
}

void PropertySet::definePointer(const std::string& name, void* value)
{
    Property p;
    p.type = PropType::Pointer;
    p.pointers = {value};
    const HostGuard lock(mutex_);
    props_[name] = p;
    initial_[name] = p;
}

template <typename T>
OfxStatus PropertySet::set(const char* name, int index, int count, const T* values, bool many)
{
    if (name == nullptr || (values == nullptr && (!many || count > 0))) {
        return kOfxStatErrBadHandle;
    }
    const HostGuard lock(mutex_);
    auto it = props_.find(name);
    if (it == props_.end()) {
        if (strict_) return kOfxStatErrUnknown;
        Property p;
        p.type = typeOf<T>();
        p.fixedDimension = false;
        it = props_.emplace(name, p).first;
        initial_.emplace(name, p);
        added_.emplace_back(name);
    }
    Property& p = it->second;
    if (p.type != typeOf<T>()) return kOfxStatErrValue;
    const std::size_t size = p.size();
    if (!many) {
        if (index < 0) return kOfxStatErrBadIndex;
        const auto i = static_cast<std::size_t>(index);
        if (i > size || (i == size && p.fixedDimension)) return kOfxStatErrBadIndex;
        if (i == size) resize(p, size + 1);
        store<T>(p, i, values[0]);
        return kOfxStatOK;
    }
    if (count < 0) return kOfxStatErrBadIndex;
    const auto n = static_cast<std::size_t>(count);
    if (p.fixedDimension && n > size) return kOfxStatErrBadIndex;
    if (!p.fixedDimension) resize(p, n);
    for (std::size_t i = 0; i < n; ++i) store<T>(p, i, values[i]);
    return kOfxStatOK;
}

template <typename T>
OfxStatus PropertySet::get(const char* name, int index, int count, T* values, bool many) const
{
    if (name == nullptr || values == nullptr) return kOfxStatErrBadHandle;
    const HostGuard lock(mutex_);
    const auto it = props_.find(name);
    if (it == props_.end()) return kOfxStatErrUnknown;
    const Property& p = it->second;
    if (p.type != typeOf<T>()) return kOfxStatErrValue;
    const std::size_t size = p.size();
    if (!many) {
        if (index < 0 || static_cast<std::size_t>(index) >= size) return kOfxStatErrBadIndex;
        values[0] = load<T>(p, static_cast<std::size_t>(index));
        return kOfxStatOK;
    }
    if (count < 0 || static_cast<std::size_t>(count) > size) return kOfxStatErrBadIndex;
    for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) values[i] = load<T>(p, i);
    return kOfxStatOK;
}

template OfxStatus PropertySet::set<int>(const char*, int, int, const int*, bool);
template OfxStatus PropertySet::set<double>(const char*, int, int, const double*, bool);
template OfxStatus PropertySet::set<const char*>(const char*, int, int, const char* const*, bool);
template OfxStatus PropertySet::set<void*>(const char*, int, int, void* const*, bool);
template OfxStatus PropertySet::get<int>(const char*, int, int, int*, bool) const;
template OfxStatus PropertySet::get<double>(const char*, int, int, double*, bool) const;
template OfxStatus PropertySet::get<char*>(const char*, int, int, char**, bool) const;
template OfxStatus PropertySet::get<void*>(const char*, int, int, void**, bool) const;

OfxStatus PropertySet::reset(const char* name)
{
    if (name == nullptr) return kOfxStatErrBadHandle;
    const HostGuard lock(mutex_);
    const auto it = initial_.find(name);
    if (it == initial_.end()) return kOfxStatErrUnknown;
    props_[name] = it->second;
    return kOfxStatOK;
}

OfxStatus PropertySet::dimension(const char* name, int* count) const
{
    if (name == nullptr || count == nullptr) return kOfxStatErrBadHandle;
    const HostGuard lock(mutex_);
    const auto it = props_.find(name);
    if (it == props_.end()) return kOfxStatErrUnknown;
    *count = static_cast<int>(it->second.size());
    return kOfxStatOK;
}

int PropertySet::intValue(const std::string& name, int index, int fallback) const
{
    int v = fallback;
    return get<int>(name.c_str(), index, 1, &v, false) == kOfxStatOK ? v : fallback;
}

double PropertySet::doubleValue(const std::string& name, int index, double fallback) const
{
    double v = fallback;
    return get<double>(name.c_str(), index, 1, &v, false) == kOfxStatOK ? v : fallback;
}

std::string PropertySet::stringValue(const std::string& name, int index) const
{
    const std::vector<std::string> all = strings(name);
    return static_cast<std::size_t>(index) < all.size() ? all[static_cast<std::size_t>(index)]
                                                        : std::string();
}

std::vector<std::string> PropertySet::strings(const std::string& name) const
{
    const HostGuard lock(mutex_);
    const auto it = props_.find(name);
    if (it == props_.end() || it->second.type != PropType::String) return {};
    return it->second.strings;
}

std::vector<int> PropertySet::ints(const std::string& name) const
{
    const HostGuard lock(mutex_);
    const auto it = props_.find(name);
    if (it == props_.end() || it->second.type != PropType::Int) return {};
    return it->second.ints;
}

std::vector<double> PropertySet::doubles(const std::string& name) const
{
    const HostGuard lock(mutex_);
    const auto it = props_.find(name);
    if (it == props_.end() || it->second.type != PropType::Double) return {};
    return it->second.doubles;
}

bool PropertySet::has(const std::string& name) const
{
    const HostGuard lock(mutex_);
    return props_.count(name) != 0;
}

std::vector<std::string> PropertySet::addedNames() const
{
    const HostGuard lock(mutex_);
    return added_;
}

PropertySet* PropertySet::from(OfxPropertySetHandle handle)
{
    auto* set = reinterpret_cast<PropertySet*>(handle);
    return set != nullptr && set->magic_ == 0x50524f50 ? set : nullptr;
}

// ---- Host-wide state: the suites' functions get no host argument.

namespace {

struct Globals {
    std::atomic<unsigned> threads{1};
    HostOptions options;
    PropertySet hostProps;
    OfxHost ofxHost{};
    mutable HostLock messagesMutex;
    std::vector<Message> messages;
    std::atomic<long> memory{0};
    std::atomic<long> imageMemory{0};
    std::atomic<long> mutexes{0};
    std::atomic<long> badReleases{0};
    HostLock imagesMutex;
    std::map<PropertySet*, std::unique_ptr<Image>> images;
};

Globals& globals()
{
    static Globals g;
    return g;
}

thread_local unsigned tThreadIndex = 0;
thread_local bool tSpawned = false;

PropertySet* props(OfxPropertySetHandle h) { return PropertySet::from(h); }

// The property suite.
template <typename T>
OfxStatus propSet(OfxPropertySetHandle h, const char* name, int index, T value)
{
    PropertySet* set = props(h);
    return set == nullptr ? kOfxStatErrBadHandle : set->set<T>(name, index, 1, &value, false);
}
template <typename T>
OfxStatus propSetN(OfxPropertySetHandle h, const char* name, int count, const T* values)
{
    PropertySet* set = props(h);
    return set == nullptr ? kOfxStatErrBadHandle : set->set<T>(name, 0, count, values, true);
}
template <typename T>
OfxStatus propGet(OfxPropertySetHandle h, const char* name, int index, T* value)
{
    PropertySet* set = props(h);
    return set == nullptr ? kOfxStatErrBadHandle : set->get<T>(name, index, 1, value, false);
}
template <typename T>
OfxStatus propGetN(OfxPropertySetHandle h, const char* name, int count, T* values)
{
    PropertySet* set = props(h);
    return set == nullptr ? kOfxStatErrBadHandle : set->get<T>(name, 0, count, values, true);
}
OfxStatus propReset(OfxPropertySetHandle h, const char* name)
{
    PropertySet* set = props(h);
    return set == nullptr ? kOfxStatErrBadHandle : set->reset(name);
}
OfxStatus propGetDimension(OfxPropertySetHandle h, const char* name, int* count)
{
    PropertySet* set = props(h);
    return set == nullptr ? kOfxStatErrBadHandle : set->dimension(name, count);
}

const OfxPropertySuiteV1 kPropertySuite = {
    propSet<void*>,  propSet<const char*>,  propSet<double>,  propSet<int>,
    propSetN<void*>, propSetN<const char*>, propSetN<double>, propSetN<int>,
    propGet<void*>,  propGet<char*>,        propGet<double>,  propGet<int>,
    propGetN<void*>, propGetN<char*>,       propGetN<double>, propGetN<int>,
    propReset,       propGetDimension,
};

// The memory suite.
OfxStatus memoryAlloc(void* /*handle*/, std::size_t bytes, void** data)
{
    if (data == nullptr) return kOfxStatErrBadHandle;
    *data = std::malloc(bytes == 0 ? 1 : bytes);
    if (*data == nullptr) return kOfxStatErrMemory;
    ++globals().memory;
    return kOfxStatOK;
}
OfxStatus memoryFree(void* data)
{
    if (data == nullptr) return kOfxStatErrBadHandle;
    std::free(data);
    --globals().memory;
    return kOfxStatOK;
}
const OfxMemorySuiteV1 kMemorySuite = {memoryAlloc, memoryFree};

// The multithread suite: every call runs `func` on threads of its own, one per index.
OfxStatus multiThread(OfxThreadFunctionV1 func, unsigned int count, void* arg)
{
    if (func == nullptr) return kOfxStatErrBadHandle;
    if (tSpawned) return kOfxStatErrExists;
    const bool started = runOnThreads(count, [func, count, arg](unsigned i) {
        tThreadIndex = i;
        tSpawned = true;
        func(i, count, arg);
    });
    const OfxStatus status = started ? kOfxStatOK : kOfxStatErrMemory;
    return status;
}
OfxStatus multiThreadNumCPUs(unsigned int* count)
{
    if (count == nullptr) return kOfxStatErrBadHandle;
    *count = globals().threads.load();
    return kOfxStatOK;
}
OfxStatus multiThreadIndex(unsigned int* index)
{
    if (index == nullptr) return kOfxStatErrBadHandle;
    *index = tSpawned ? tThreadIndex : 0;
    return kOfxStatOK;
}
int multiThreadIsSpawnedThread() { return tSpawned ? 1 : 0; }

struct HostMutex {
    std::uint32_t magic = 0x4d555458;  // "MUTX"
    HostLock mutex;
};
HostMutex* mutexOf(OfxMutexHandle h)
{
    auto* m = reinterpret_cast<HostMutex*>(h);
    return m != nullptr && m->magic == 0x4d555458 ? m : nullptr;
}
OfxStatus mutexCreate(OfxMutexHandle* handle, int lockCount)
{
    if (handle == nullptr) return kOfxStatErrBadHandle;
    auto* m = new (std::nothrow) HostMutex;
    if (m == nullptr) return kOfxStatErrMemory;
    for (int i = 0; i < lockCount; ++i) m->mutex.lock();
    *handle = reinterpret_cast<OfxMutexHandle>(m);
    ++globals().mutexes;
    return kOfxStatOK;
}
OfxStatus mutexDestroy(const OfxMutexHandle handle)
{
    HostMutex* m = mutexOf(handle);
    if (m == nullptr) return kOfxStatErrBadHandle;
    m->magic = 0;
    delete m;
    --globals().mutexes;
    return kOfxStatOK;
}
OfxStatus mutexLock(const OfxMutexHandle handle)
{
    HostMutex* m = mutexOf(handle);
    if (m == nullptr) return kOfxStatErrBadHandle;
    m->mutex.lock();
    return kOfxStatOK;
}
OfxStatus mutexUnLock(const OfxMutexHandle handle)
{
    HostMutex* m = mutexOf(handle);
    if (m == nullptr) return kOfxStatErrBadHandle;
    m->mutex.unlock();
    return kOfxStatOK;
}
OfxStatus mutexTryLock(const OfxMutexHandle handle)
{
    HostMutex* m = mutexOf(handle);
    if (m == nullptr) return kOfxStatErrBadHandle;
    return m->mutex.try_lock() ? kOfxStatOK : kOfxStatFailed;
}
const OfxMultiThreadSuiteV1 kMultiThreadSuite = {
    multiThread,  multiThreadNumCPUs, multiThreadIndex, multiThreadIsSpawnedThread,
    mutexCreate,  mutexDestroy,       mutexLock,        mutexUnLock,
    mutexTryLock,
};

// The message suite: every message is recorded.
void record(const char* type, const char* id, const char* format, va_list args)
{
    char text[2048] = "";
    if (format != nullptr) std::vsnprintf(text, sizeof text, format, args);
    Globals& g = globals();
    const HostGuard lock(g.messagesMutex);
    g.messages.push_back({type != nullptr ? type : "", id != nullptr ? id : "", text});
}
OfxStatus message(void* /*handle*/, const char* type, const char* id, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    record(type, id, format, args);
    va_end(args);
    return type != nullptr && std::strcmp(type, kOfxMessageQuestion) == 0 ? kOfxStatReplyYes
                                                                          : kOfxStatOK;
}
OfxStatus persistentMessage(void* /*handle*/, const char* type, const char* id, const char* format,
                            ...)
{
    va_list args;
    va_start(args, format);
    record(type, id, format, args);
    va_end(args);
    return kOfxStatOK;
}
OfxStatus clearPersistentMessage(void* /*handle*/) { return kOfxStatOK; }
const OfxMessageSuiteV2 kMessageSuiteV2 = {message, persistentMessage, clearPersistentMessage};
const OfxMessageSuiteV1 kMessageSuiteV1 = {message};

const void* fetchSuite(OfxPropertySetHandle host, const char* name, int version)
{
    Globals& g = globals();
    if (props(host) != &g.hostProps || name == nullptr) return nullptr;
    const std::string suite = name;
    if (suite == kOfxPropertySuite && version == 1) return &kPropertySuite;
    if (suite == kOfxImageEffectSuite && version == 1) return &imageEffectSuite();
    if (suite == kOfxParameterSuite && version == 1) return &parameterSuite();
    if (suite == kOfxMemorySuite && version == 1) return &kMemorySuite;
    if (suite == kOfxMultiThreadSuite && version == 1) {
        return g.options.multiThreadSuiteMissing ? nullptr : &kMultiThreadSuite;
    }
    if (suite == kOfxMessageSuite && version == 1) return &kMessageSuiteV1;
    if (suite == kOfxMessageSuite && version == 2 && g.options.messageSuiteV2) {
        return &kMessageSuiteV2;
    }
    return nullptr;
}

void defineHostProperties(PropertySet& p)
{
    p.defineStrings(kOfxPropType, {kOfxTypeImageEffectHost});
    p.defineStrings(kOfxPropName, {kHostName});
    p.defineStrings(kOfxPropLabel, {"Telvix OFX test host"});
    p.defineInts(kOfxPropAPIVersion, {1, 4});
    p.defineInts(kOfxPropVersion, {1, 0, 0});
    p.defineStrings(kOfxPropVersionLabel, {"1.0.0"});
    p.defineInts("OfxImageEffectHostPropIsBackground", {0});
    p.defineInts(kOfxImageEffectPropSupportsTiles, {1});
    p.defineInts(kOfxImageEffectPropSupportsMultiResolution, {1});
    p.defineInts(kOfxImageEffectPropTemporalClipAccess, {0});
    p.defineInts(kOfxImageEffectPropSupportsMultipleClipDepths, {1});
    p.defineInts(kOfxImageEffectPropSupportsMultipleClipPARs, {0});
    p.defineInts("OfxImageEffectPropSetableFrameRate", {0});
    p.defineInts("OfxImageEffectPropSetableFielding", {0});
    p.defineStrings(kOfxImageEffectPropSupportedComponents,
                    {kOfxImageComponentRGBA, kOfxImageComponentRGB, kOfxImageComponentAlpha});
    p.defineStrings(kOfxImageEffectPropSupportedContexts,
                    {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral});
    p.defineStrings(kOfxImageEffectPropSupportedPixelDepths,
                    {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat});
    p.defineInts("OfxParamHostPropSupportsCustomInteract", {0});
    p.defineInts("OfxParamHostPropSupportsStringAnimation", {0});
    p.defineInts("OfxParamHostPropSupportsChoiceAnimation", {0});
    p.defineInts("OfxParamHostPropSupportsBooleanAnimation", {0});
    p.defineInts("OfxParamHostPropSupportsCustomAnimation", {0});
    p.defineInts("OfxParamHostPropSupportsParametricAnimation", {0});
    p.defineInts("OfxParamHostPropMaxParameters", {-1});
    p.defineInts("OfxParamHostPropMaxPages", {0});
    p.defineInts("OfxParamHostPropPageRowColumnCount", {0, 0});
    p.defineInts(kOfxImageEffectInstancePropSequentialRender, {0});
    p.defineInts(kOfxImageEffectPropRenderQualityDraft, {0});
}

}  // namespace

// ---- Loading the binary

namespace {

void* openLibrary(const std::filesystem::path& path, std::string& error)
{
#if defined(_WIN32)
    HMODULE module = LoadLibraryW(path.wstring().c_str());
    if (module == nullptr) error = "LoadLibraryW failed (" + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
#else
    void* handle = dlopen(path.string().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) error = dlerror();
    return handle;
#endif
}

void* symbol(void* library, const char* name)
{
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
#else
    return dlsym(library, name);
#endif
}

void closeLibrary(void* library)
{
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(library));
#else
    dlclose(library);
#endif
}

bool accepted(OfxStatus status) { return status == kOfxStatOK || status == kOfxStatReplyDefault; }

}  // namespace

Host::Host(const std::filesystem::path& binary, HostOptions options)
{
    Globals& g = globals();
    g.options = options;
    setThreads(options.threads);
    g.hostProps.setStrict(true);
    defineHostProperties(g.hostProps);
    g.ofxHost.host = g.hostProps.handle();
    g.ofxHost.fetchSuite = fetchSuite;
    {
        const HostGuard lock(g.messagesMutex);
        g.messages.clear();
    }
    start(binary);
}

void Host::start(const std::filesystem::path& binary)
{
    Globals& g = globals();
    library_ = openLibrary(binary, error_);
    if (library_ == nullptr) {
        error_ = "cannot open " + binary.string() + ": " + error_;
        return;
    }
    using SetHost = OfxStatus (*)(const OfxHost*);
    using Count = int (*)();
    using Get = OfxPlugin* (*)(int);
    const auto setHost = reinterpret_cast<SetHost>(symbol(library_, "OfxSetHost"));
    const auto count = reinterpret_cast<Count>(symbol(library_, "OfxGetNumberOfPlugins"));
    const auto get = reinterpret_cast<Get>(symbol(library_, "OfxGetPlugin"));
    if (count == nullptr || get == nullptr) {
        error_ = "the binary does not export OfxGetNumberOfPlugins and OfxGetPlugin";
        return;
    }
    if (setHost != nullptr && setHost(&g.ofxHost) == kOfxStatFailed) {
        error_ = "OfxSetHost declined the host";
        return;
    }
    if (count() < 1) {
        error_ = "OfxGetNumberOfPlugins answered no plug-in";
        return;
    }
    plugin_ = get(0);
    if (plugin_ == nullptr || plugin_->pluginApi == nullptr ||
        std::strcmp(plugin_->pluginApi, kOfxImageEffectPluginApi) != 0 ||
        plugin_->apiVersion != kOfxImageEffectPluginApiVersion || plugin_->mainEntry == nullptr ||
        plugin_->pluginIdentifier == nullptr) {
        error_ = "OfxGetPlugin(0) is not an image-effect plug-in of API version 1";
        plugin_ = nullptr;
        return;
    }
    if (plugin_->setHost != nullptr) plugin_->setHost(&g.ofxHost);
    if (const OfxStatus s = callAction(kOfxActionLoad, nullptr, nullptr, nullptr); !accepted(s)) {
        error_ = "Load returned " + std::to_string(s);
        return;
    }
    loaded_ = true;
    descriptor_ = std::make_unique<Effect>(Effect::Kind::Plugin);
    defineDescriptorProperties(*descriptor_->props, binary);
    if (const OfxStatus s = callAction(kOfxActionDescribe, descriptor_.get(), nullptr, nullptr);
        s != kOfxStatOK) {
        error_ = "Describe returned " + std::to_string(s);
        return;
    }
    for (const char* context : {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral}) {
        if (const OfxStatus s = describeInContext(context); s != kOfxStatOK) {
            error_ = std::string("DescribeInContext ") + context + " returned " + std::to_string(s);
            return;
        }
    }
}

Host::~Host()
{
    contexts_.clear();
    descriptor_.reset();
    if (loaded_) callAction(kOfxActionUnload, nullptr, nullptr, nullptr);
    if (library_ != nullptr) closeLibrary(library_);
}

OfxStatus Host::callAction(const char* action, const void* handle, PropertySet* inArgs,
                           PropertySet* outArgs)
{
    return plugin_->mainEntry(action, handle, inArgs != nullptr ? inArgs->handle() : nullptr,
                              outArgs != nullptr ? outArgs->handle() : nullptr);
}

OfxStatus Host::describeInContext(const std::string& context)
{
    auto effect = std::make_unique<Effect>(Effect::Kind::Context);
    effect->props = std::make_unique<PropertySet>(*descriptor_->props);
    effect->props->setStrict(false);
    effect->props->defineStrings(kOfxImageEffectPropContext, {context});
    PropertySet in;
    in.defineStrings(kOfxImageEffectPropContext, {context});
    const OfxStatus status =
        callAction(kOfxImageEffectActionDescribeInContext, effect.get(), &in, nullptr);
    if (status == kOfxStatOK) contexts_[context] = std::move(effect);
    return status;
}

PropertySet& Host::hostProperties() { return globals().hostProps; }
const OfxHost* Host::ofxHost() const { return &globals().ofxHost; }
PropertySet& Host::descriptor() { return *descriptor_->props; }

Effect* Host::contextDescriptor(const std::string& context)
{
    const auto it = contexts_.find(context);
    return it != contexts_.end() ? it->second.get() : nullptr;
}

PropertySet* Host::clipDescriptor(const std::string& context, const std::string& clip)
{
    Effect* effect = contextDescriptor(context);
    Clip* c = effect != nullptr ? effect->clip(clip) : nullptr;
    return c != nullptr ? &c->props : nullptr;
}

PropertySet* Host::paramDescriptor(const std::string& context, const std::string& param)
{
    Effect* effect = contextDescriptor(context);
    Param* p = effect != nullptr ? effect->params.find(param) : nullptr;
    return p != nullptr ? &p->props : nullptr;
}

std::vector<std::string> Host::paramNames(const std::string& context)
{
    std::vector<std::string> names;
    if (Effect* effect = contextDescriptor(context)) {
        for (const auto& p : effect->params.params) names.push_back(p->name);
    }
    return names;
}

void Host::setThreads(unsigned threads) { globals().threads = std::clamp(threads, 1U, 16U); }

std::vector<Message> Host::messages() const
{
    const HostGuard lock(globals().messagesMutex);
    return globals().messages;
}

long Host::liveMemory() const { return globals().memory; }
long Host::liveImageMemory() const { return globals().imageMemory; }
long Host::liveMutexes() const { return globals().mutexes; }
long Host::badReleases() const { return globals().badReleases; }

// ---- Images: handed out by clipGetImage, counted until released

void registerImage(std::unique_ptr<Image> image)
{
    Globals& g = globals();
    const HostGuard lock(g.imagesMutex);
    PropertySet* key = &image->props;
    g.images.emplace(key, std::move(image));
}

OfxStatus releaseImage(OfxPropertySetHandle handle)
{
    Globals& g = globals();
    const HostGuard lock(g.imagesMutex);
    const auto it = g.images.find(reinterpret_cast<PropertySet*>(handle));
    if (it == g.images.end()) {
        ++g.badReleases;
        return kOfxStatErrBadHandle;
    }
    --it->second->owner->render->liveImages;
    g.images.erase(it);
    return kOfxStatOK;
}

int dropImagesOf(const Effect* owner)
{
    Globals& g = globals();
    const HostGuard lock(g.imagesMutex);
    int dropped = 0;
    for (auto it = g.images.begin(); it != g.images.end();) {
        if (it->second->owner == owner) {
            it = g.images.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

void countImageMemory(long delta) { globals().imageMemory += delta; }

}  // namespace telvix::ofxtest
