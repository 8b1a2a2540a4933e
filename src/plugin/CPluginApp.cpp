#include "CPluginApp.h"

#include "../platform/win32api.h"

#include <vector>

CPluginApp theApp;

namespace {

HMODULE ownModule() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&theApp), &self))
        return nullptr;
    return self;
}

// The file this code was loaded from, however long its path.
std::string ownModulePath(HMODULE self) {
    if (!self)
        return "";
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameA(self, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return "";
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(buffer.size() * 2); // cut short: try again with room to spare
    }
}

} // namespace

std::string ModuleNameFromPath(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = file.rfind('.');
    return dot == std::string::npos ? file : file.substr(0, dot);
}

CPluginApp::CPluginApp() {
    InitInstance();
}

bool CPluginApp::InitInstance() {
    HMODULE self = ownModule();
    m_hInstance = self;
    m_AppName = ModuleNameFromPath(ownModulePath(self));
    return true;
}
