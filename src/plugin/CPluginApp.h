// The module's application object: made when the module is loaded, it learns
// the name the module was loaded under, which names the plugin's own settings
// file.
#pragma once

#include <string>

class CPluginApp {
  public:
    CPluginApp();
    bool InitInstance();

    // The module's file name as loaded, without directory and extension.
    const std::string& GetAppName() const { return m_AppName; }
    // The module's own handle, for its resources.
    void* GetInstanceHandle() const { return m_hInstance; }

  private:
    std::string m_AppName;
    void* m_hInstance = nullptr;
};

extern CPluginApp theApp;

// "KestrinPlugin" for "C:\Apps\plugins\KestrinPlugin.dll"; the extension starts at
// the last dot, and either slash ends a directory.
std::string ModuleNameFromPath(const std::string& path);
