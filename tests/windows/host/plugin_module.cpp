#include "plugin_module.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstring>

namespace telvix::wintest {

#if defined(_WIN32)

PluginModule::PluginModule(const std::string& path)
{
    // The ANSI call: test paths are plain ASCII.
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error_ =
            "LoadLibrary failed for " + path + " (error " + std::to_string(GetLastError()) + ")";
        return;
    }
    handle_ = module;
    // A function pointer comes back as FARPROC; go through void* as every host does.
    FARPROC proc = GetProcAddress(module, "entryPointFunc");
    if (proc == nullptr) {
        error_ = "GetProcAddress found no entryPointFunc in " + path;
        return;
    }
    entryPoint_ = reinterpret_cast<PF_FilterProc>(reinterpret_cast<void*>(proc));
}

PluginModule::~PluginModule()
{
    if (handle_ != nullptr) {
        FreeLibrary(static_cast<HMODULE>(handle_));
    }
}

bool PluginModule::hasResources() { return true; }

std::optional<std::vector<std::uint8_t>> PluginModule::resource(const char* type, int id,
                                                                int language) const
{
    if (handle_ == nullptr) {
        return std::nullopt;
    }
    HMODULE module = static_cast<HMODULE>(handle_);
    // FindResourceEx rather than FindResource: the language is part of what is checked.
    // Type names match case-insensitively, as resource compilers store them upper-cased.
    HRSRC info = FindResourceExA(module, type, MAKEINTRESOURCEA(id), static_cast<WORD>(language));
    if (info == nullptr) {
        return std::nullopt;
    }
    const DWORD size = SizeofResource(module, info);
    HGLOBAL loaded = LoadResource(module, info);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return std::nullopt;
    }
    // Resource memory belongs to the module; copy it out before the module can be unloaded.
    std::vector<std::uint8_t> copy(size);
    std::memcpy(copy.data(), bytes, size);
    return copy;
}

#else

PluginModule::PluginModule(const std::string& path)
{
    // RTLD_NOW: an unresolved symbol should fail here, not in the middle of a render.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = "dlopen failed for " + path + ": " + (why != nullptr ? why : "unknown error");
        return;
    }
    void* symbol = dlsym(handle_, "entryPointFunc");
    if (symbol == nullptr) {
        error_ = "dlsym found no entryPointFunc in " + path;
        return;
    }
    entryPoint_ = reinterpret_cast<PF_FilterProc>(symbol);
}

PluginModule::~PluginModule()
{
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

bool PluginModule::hasResources() { return false; }

std::optional<std::vector<std::uint8_t>> PluginModule::resource(const char*, int, int) const
{
    return std::nullopt;
}

#endif

}  // namespace telvix::wintest
