// Loads the plugin module the way the host application does and finds its
// exports by name.
#pragma once

#include "plugin_api.h"

#include <string>

class PluginModule {
  public:
    // Loads `path`; check loaded() and error() afterwards.
    explicit PluginModule(const std::string& path);
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    void* nativeHandle() const { return handle_; }

    // The export `name`, or null (with error() saying so).
    void* symbol(const char* name);
    template <class Fn> Fn get(const char* name) { return reinterpret_cast<Fn>(symbol(name)); }

    plugin_api::InitFn init = nullptr;
    plugin_api::GetParamFn getparam = nullptr;
    plugin_api::GetInfoFn getinfo = nullptr;
    plugin_api::DllTypeFn dlltype = nullptr;
    plugin_api::VisConfigureFn vis_configure = nullptr;
    plugin_api::DllStartupFn dllstartup = nullptr;
    plugin_api::DllShutdownFn dllshutdown = nullptr;
    plugin_api::SettingsFn load_settings = nullptr;
    plugin_api::SettingsFn save_settings = nullptr;
    plugin_api::RepaintFn repaint = nullptr;
    plugin_api::QueryFn LastLogEntry = nullptr;
    plugin_api::QueryFn LastNLogs = nullptr;
    plugin_api::ConfigureFn configure = nullptr;

    // True when every export above was found.
    bool complete() const;

  private:
    void* handle_ = nullptr;
    std::string error_;
};

// The plugin module built beside the running program.
std::string defaultModulePath();
