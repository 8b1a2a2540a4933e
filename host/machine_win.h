// Windows only: giving the real platform (Wine) what an emulated machine
// folder holds, so the real DLL can be run on the same machine as the
// emulation. Wine has no event log service, so the DLL's event log calls are
// redirected to a reader of the machine's .evt files.
#pragma once

#include <windows.h>

#include <string>

// Imports the machine's registry hives (reg.exe import) and copies its drive C:
// over this one. False, with `error`, when that fails.
bool installMachine(const std::string& machineDir, std::string& error);

// Points the module's imports of OpenEventLogA, ReadEventLogA,
// GetNumberOfEventLogRecords, GetOldestEventLogRecord and CloseEventLog at a
// reader of the .evt files the registry names. Returns how many were redirected.
int redirectEventLogImports(HMODULE module);

// Points the module's import `name` from `dll` at `function`; how many
// imports it changed (0 when the module does not import it).
int replaceImport(HMODULE module, const char* dll, const char* name, void* function);

// Also counts what the module takes and gives back through its imports:
// LocalAlloc blocks, registry keys, modules it loads. (FormatMessageA's
// buffers are the platform's own allocation and are not seen here.)
void trackModuleResources(HMODULE module);

// What the module holds now: open event logs, LocalAlloc blocks, registry
// keys and loaded modules, as "name N" pairs for those that are not zero.
std::string heldResources();
