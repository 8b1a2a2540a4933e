// The module-wide state: the live instances, the current one, and GDI+.
#pragma once

#include "../platform/win32api.h"
#include "CLogMonitor.h"

// The most recently created instance that still lives, or null. The refresh
// throttle and the configuration dialog work on it.
extern CLogMonitor* g_CurrentMonitor;

// The token of the GDI+ session that the live instances share.
extern ULONG_PTR g_GdiplusToken;

// Creates an instance and makes it current. GDI+ is started with the first live
// instance. Throws std::bad_alloc when memory runs out (nothing is left behind).
CLogMonitor* CreateMonitor();

// True when `monitor` was created and not yet destroyed.
bool IsLiveMonitor(const CLogMonitor* monitor);

// Destroys a live instance; g_CurrentMonitor then names the most recently created
// instance that still lives. GDI+ is shut down with the last one.
void DestroyMonitor(CLogMonitor* monitor);
