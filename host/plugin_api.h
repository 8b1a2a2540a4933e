// The plugin's exports as the host application sees them: plain functions with
// the stdcall convention, found by name.
#pragma once

#ifdef _WIN32
#define KESTRIN_STDCALL __stdcall
#else
#define KESTRIN_STDCALL
#endif

struct PluginRecord; // opaque to the host

namespace plugin_api {
typedef const char*(KESTRIN_STDCALL* InitFn)();
typedef const char*(KESTRIN_STDCALL* GetParamFn)(const char*);
typedef const char*(KESTRIN_STDCALL* GetInfoFn)(unsigned);
typedef int(KESTRIN_STDCALL* DllTypeFn)();
typedef int(KESTRIN_STDCALL* VisConfigureFn)(int);
typedef PluginRecord*(KESTRIN_STDCALL* DllStartupFn)(int, int);
typedef int(KESTRIN_STDCALL* DllShutdownFn)(PluginRecord*);
typedef int(KESTRIN_STDCALL* SettingsFn)(PluginRecord*, const char*, const char*);
typedef char*(KESTRIN_STDCALL* QueryFn)(PluginRecord*);
typedef int(KESTRIN_STDCALL* ConfigureFn)();
// deviceContext, ignored, valueText, width, height
typedef int(KESTRIN_STDCALL* RepaintFn)(void*, int, const char*, int, int);
} // namespace plugin_api
