// Loading the effect the way a host does: open the shared library at run time and look up its
// entry point by name.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "AE_Effect.h"

namespace telvix::cli {

// An opened effect library; closes it on destruction.
class PluginLibrary {
public:
    // Opens `path` and finds `entryPointFunc`; throws CliError naming the path otherwise.
    explicit PluginLibrary(const std::filesystem::path& path);
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary();

    PF_FilterProc entryPoint() const { return entryPoint_; }
    const std::filesystem::path& path() const { return path_; }

private:
    void* handle_ = nullptr;
    PF_FilterProc entryPoint_ = nullptr;
    std::filesystem::path path_;
};

// Where the effect is looked for when no path is given, in order: beside the running
// executable, in ../lib/telvix relative to it (an installed copy), and where the build put it.
std::vector<std::filesystem::path> defaultPluginLocations();

// `requested` when not empty, else the first default location that exists; throws CliError
// when none does.
std::filesystem::path findPlugin(const std::string& requested);

}  // namespace telvix::cli
