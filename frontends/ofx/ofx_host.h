// What the plug-in holds of its OpenFX host: the host record and the suites fetched at load, and
// typed access to property sets through the property suite.
#pragma once

#include <initializer_list>
#include <string>

#include "ofxCore.h"
#include "ofxImageEffect.h"
#include "ofxMessage.h"
#include "ofxMultiThread.h"
#include "ofxParam.h"
#include "ofxProperty.h"

namespace telvix::ofx {

// The suites of the loaded host. Property, image-effect and parameter suites are required; the
// multithread and message suites are optional and null when the host lacks them (or any of
// their members). Written once by the load action, read-only while instances exist.
struct HostSuites {
    OfxHost* host = nullptr;
    const OfxPropertySuiteV1* property = nullptr;
    const OfxImageEffectSuiteV1* effect = nullptr;
    const OfxParameterSuiteV1* parameter = nullptr;
    const OfxMultiThreadSuiteV1* threads = nullptr;
    const OfxMessageSuiteV1* message = nullptr;
};

HostSuites& suites();

// Fetches the suites from the host given to setHost. kOfxStatErrMissingHostFeature when one of
// the required suites is missing.
OfxStatus loadSuites();
void unloadSuites();

// A property set, read and written through the host's property suite. Setters ignore a host's
// refusal (a host that does not know a property simply lacks the feature); getters return
// `fallback` when the property is missing.
class Properties {
public:
    explicit Properties(OfxPropertySetHandle handle) : handle_(handle) {}

    OfxPropertySetHandle handle() const { return handle_; }

    void setString(const char* name, const char* value, int index = 0) const;
    void setStrings(const char* name, std::initializer_list<const char*> values) const;
    void setInt(const char* name, int value, int index = 0) const;
    void setInts(const char* name, std::initializer_list<int> values) const;
    void setDouble(const char* name, double value, int index = 0) const;
    void setDoubles(const char* name, std::initializer_list<double> values) const;
    void setPointer(const char* name, void* value) const;

    std::string getString(const char* name, const char* fallback = "", int index = 0) const;
    int getInt(const char* name, int fallback = 0, int index = 0) const;
    double getDouble(const char* name, double fallback = 0.0, int index = 0) const;
    void* getPointer(const char* name) const;
    // Four ints (a rectangle's x1, y1, x2, y2); false when the property is missing or shorter.
    bool getRect(const char* name, OfxRectI& rect) const;

private:
    OfxPropertySetHandle handle_;
};

// Shows `text` to the user as an error of `effect` when the host has a message suite.
void postError(OfxImageEffectHandle effect, const char* text);

}  // namespace telvix::ofx
