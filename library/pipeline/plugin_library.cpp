#include "plugin_library.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <system_error>

#include "cli_error.h"

namespace telvix::cli {

namespace fs = std::filesystem;

PluginLibrary::PluginLibrary(const fs::path& path) : path_(path)
{
    // dlopen searches the library path for a bare name; a file name given by the user is meant
    // as a file, so make it a path.
    const fs::path file = path.has_parent_path() ? path : fs::path(".") / path;
    // Resolve every symbol now, so a broken library fails here rather than mid-render, and keep
    // its symbols to itself as a host does.
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        throw CliError(fmt::format("cannot load the plug-in '{}': {}", path.string(),
                                   why != nullptr ? why : "unknown error"));
    }
    void* symbol = dlsym(handle_, "entryPointFunc");
    if (symbol == nullptr) {
        dlclose(handle_);
        throw CliError(
            fmt::format("'{}' is not an effect plug-in: it has no entryPointFunc", path.string()));
    }
    entryPoint_ = reinterpret_cast<PF_FilterProc>(symbol);
}

PluginLibrary::~PluginLibrary() { dlclose(handle_); }

std::vector<fs::path> defaultPluginLocations()
{
    // The running executable, found through the kernel rather than argv[0], which a shell may
    // have resolved through PATH.
    std::vector<fs::path> locations;
    std::error_code ec;
    const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path folder = executable.parent_path();
        locations.push_back(folder / "Telvix.so");
        locations.push_back(folder.parent_path() / "lib" / "telvix" / "Telvix.so");
        // A build folder: the command in cli/, the plug-in at the build folder's top. Only
        // places relative to the command are searched, so nothing of the machine that built it
        // is kept in the binary.
        locations.push_back(folder.parent_path() / "Telvix.so");
    }
    return locations;
}

fs::path findPlugin(const std::string& requested)
{
    if (!requested.empty()) return requested;
    const auto locations = defaultPluginLocations();
    for (const auto& location : locations) {
        std::error_code ec;
        if (fs::is_regular_file(location, ec)) return location;
    }
    std::string tried;
    for (const auto& location : locations) {
        tried += (tried.empty() ? "" : ", ") + location.string();
    }
    throw CliError(
        fmt::format("cannot find the plug-in Telvix.so (looked in {}); name it with "
                    "--plugin",
                    tried));
}

}  // namespace telvix::cli
