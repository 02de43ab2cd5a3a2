// Opens the effect library the way a host does and looks up its entry point by name:
// LoadLibrary and GetProcAddress on Windows, dlopen and dlsym elsewhere. On Windows it also
// reads resources back from the loaded module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "AE_Effect.h"

namespace telvix::wintest {

class PluginModule {
public:
    // Opens `path` and finds `entryPointFunc`; error() tells what failed when ok() is false.
    explicit PluginModule(const std::string& path);
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;
    ~PluginModule();

    bool ok() const { return entryPoint_ != nullptr; }
    const std::string& error() const { return error_; }
    PF_FilterProc entryPoint() const { return entryPoint_; }

    // Whether this platform keeps resources inside the library (only Windows does).
    static bool hasResources();
    // The bytes of the resource of `type`, `id` and `language`, or nothing when it is missing
    // (and always nothing where the platform has no resources).
    std::optional<std::vector<std::uint8_t>> resource(const char* type, int id, int language) const;

private:
    void* handle_ = nullptr;
    PF_FilterProc entryPoint_ = nullptr;
    std::string error_;
};

}  // namespace telvix::wintest
