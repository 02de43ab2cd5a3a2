#include "ofx_host.h"

#include <vector>

namespace telvix::ofx {

HostSuites& suites()
{
    static HostSuites held;
    return held;
}

namespace {

template <typename Suite>
const Suite* fetch(const char* name, int version)
{
    OfxHost* host = suites().host;
    if (host == nullptr || host->fetchSuite == nullptr) return nullptr;
    return static_cast<const Suite*>(host->fetchSuite(host->host, name, version));
}

// A suite some of whose functions are missing is treated as missing: hosts exist whose
// multithread suite lacks the mutexes, or whose functions are stubs left null.
bool complete(const OfxMultiThreadSuiteV1* s)
{
    return s != nullptr && s->multiThread != nullptr && s->multiThreadNumCPUs != nullptr &&
           s->multiThreadIsSpawnedThread != nullptr;
}

}  // namespace

OfxStatus loadSuites()
{
    HostSuites& s = suites();
    s.property = fetch<OfxPropertySuiteV1>(kOfxPropertySuite, 1);
    s.effect = fetch<OfxImageEffectSuiteV1>(kOfxImageEffectSuite, 1);
    s.parameter = fetch<OfxParameterSuiteV1>(kOfxParameterSuite, 1);
    const auto* threads = fetch<OfxMultiThreadSuiteV1>(kOfxMultiThreadSuite, 1);
    s.threads = complete(threads) ? threads : nullptr;
    const auto* message = fetch<OfxMessageSuiteV1>(kOfxMessageSuite, 1);
    s.message = message != nullptr && message->message != nullptr ? message : nullptr;
    const bool required = s.property != nullptr && s.effect != nullptr && s.parameter != nullptr &&
                          s.property->propGetInt != nullptr && s.effect->clipGetImage != nullptr &&
                          s.parameter->paramGetValueAtTime != nullptr;
    return required ? kOfxStatOK : kOfxStatErrMissingHostFeature;
}

void unloadSuites()
{
    OfxHost* host = suites().host;
    suites() = HostSuites{};
    suites().host = host;
}

void Properties::setString(const char* name, const char* value, int index) const
{
    suites().property->propSetString(handle_, name, index, value);
}

void Properties::setStrings(const char* name, std::initializer_list<const char*> values) const
{
    int i = 0;
    for (const char* v : values) setString(name, v, i++);
}

void Properties::setInt(const char* name, int value, int index) const
{
    suites().property->propSetInt(handle_, name, index, value);
}

void Properties::setInts(const char* name, std::initializer_list<int> values) const
{
    int i = 0;
    for (const int v : values) setInt(name, v, i++);
}

void Properties::setDouble(const char* name, double value, int index) const
{
    suites().property->propSetDouble(handle_, name, index, value);
}

void Properties::setDoubles(const char* name, std::initializer_list<double> values) const
{
    int i = 0;
    for (const double v : values) setDouble(name, v, i++);
}

void Properties::setPointer(const char* name, void* value) const
{
    suites().property->propSetPointer(handle_, name, 0, value);
}

std::string Properties::getString(const char* name, const char* fallback, int index) const
{
    char* value = nullptr;
    if (suites().property->propGetString(handle_, name, index, &value) != kOfxStatOK ||
        value == nullptr) {
        return fallback;
    }
    return value;
}

int Properties::getInt(const char* name, int fallback, int index) const
{
    int value = fallback;
    if (suites().property->propGetInt(handle_, name, index, &value) != kOfxStatOK) {
        return fallback;
    }
    return value;
}

double Properties::getDouble(const char* name, double fallback, int index) const
{
    double value = fallback;
    if (suites().property->propGetDouble(handle_, name, index, &value) != kOfxStatOK) {
        return fallback;
    }
    return value;
}

void* Properties::getPointer(const char* name) const
{
    void* value = nullptr;
    if (suites().property->propGetPointer(handle_, name, 0, &value) != kOfxStatOK) {
        return nullptr;
    }
    return value;
}

bool Properties::getRect(const char* name, OfxRectI& rect) const
{
    int v[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (suites().property->propGetInt(handle_, name, i, &v[i]) != kOfxStatOK) return false;
    }
    rect = OfxRectI{v[0], v[1], v[2], v[3]};
    return true;
}

void postError(OfxImageEffectHandle effect, const char* text)
{
    if (suites().message != nullptr) {
        suites().message->message(effect, kOfxMessageError, "", "%s", text);
    }
}

}  // namespace telvix::ofx
