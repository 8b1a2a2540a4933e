#include "plugin_loader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

PluginModule::PluginModule(const std::string& path) {
#ifdef _WIN32
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (!handle_) {
        DWORD code = GetLastError();
        char* text = nullptr;
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        std::string reason = text ? text : "";
        LocalFree(text);
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
            reason.pop_back();
        error_ = "LoadLibraryA failed with error " + std::to_string(code) +
                 (reason.empty() ? "" : ": " + reason);
    }
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_)
        error_ = dlerror();
#endif
    if (!handle_)
        return;
    init = get<plugin_api::InitFn>("init");
    getparam = get<plugin_api::GetParamFn>("getparam");
    getinfo = get<plugin_api::GetInfoFn>("getinfo");
    dlltype = get<plugin_api::DllTypeFn>("dlltype");
    vis_configure = get<plugin_api::VisConfigureFn>("vis_configure");
    dllstartup = get<plugin_api::DllStartupFn>("dllstartup");
    dllshutdown = get<plugin_api::DllShutdownFn>("dllshutdown");
    load_settings = get<plugin_api::SettingsFn>("load_settings");
    save_settings = get<plugin_api::SettingsFn>("save_settings");
    repaint = get<plugin_api::RepaintFn>("repaint");
    LastLogEntry = get<plugin_api::QueryFn>("LastLogEntry");
    LastNLogs = get<plugin_api::QueryFn>("LastNLogs");
    configure = get<plugin_api::ConfigureFn>("configure");
}

PluginModule::~PluginModule() {
    if (!handle_)
        return;
#ifdef _WIN32
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

void* PluginModule::symbol(const char* name) {
    if (!handle_)
        return nullptr;
#ifdef _WIN32
    void* fn = reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
    void* fn = dlsym(handle_, name);
#endif
    if (!fn)
        error_ = std::string("the module does not export ") + name;
    return fn;
}

bool PluginModule::complete() const {
    return init && getparam && getinfo && dlltype && vis_configure && dllstartup && dllshutdown &&
           load_settings && save_settings && repaint && LastLogEntry && LastNLogs;
}

std::string defaultModulePath() {
#ifdef _WIN32
    char path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string self(path, length < sizeof path ? length : 0);
    return self.substr(0, self.find_last_of("\\/") + 1) + "KestrinPlugin.dll";
#else
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self(path, length > 0 ? static_cast<size_t>(length) : 0);
    return self.substr(0, self.find_last_of('/') + 1) + "KestrinPlugin.so";
#endif
}
