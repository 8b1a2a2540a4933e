// The functions the host calls.
//
// Every export catches at the module boundary: a C++ exception that escaped a
// stdcall function would take the host process down, so each returns its
// neutral result instead (0, "", or null for a record it could not make). A
// record the host passes that is not live (null, already shut down, never made)
// is left alone the same way.
#include "../config/CPropertyDialog.h"
#include "../config/settings_location.h"
#include "CLogMonitor.h"
#include "line_painting.h"
#include "log_queries.h"
#include "module_state.h"
#include "monitor_settings.h"

#include <new>

namespace {

template <class Result, class Body> Result guarded(Result neutral, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return neutral;
    }
}

const char* infoText(unsigned code) {
    switch (code) {
    case 0:
        return "Kestrin Viewer";
    case 1:
        return "The Kestrin Viewer developers";
    case 2:
        return "1.0";
    case 3:
    case 4:
        return "16/08/04";
    case 6:
        return "kestrin-viewer@users.noreply.invalid";
    default:
        return "";
    }
}

char* runQuery(CLogMonitor* monitor, void (*refresh)(CLogMonitor&)) noexcept {
    static char nothing[1] = "";
    if (!IsLiveMonitor(monitor))
        return nothing;
    try {
        monitor->TakeBackResult();
        if (IsRefreshDue(*monitor))
            refresh(*monitor);
    } catch (...) {
    }
    return monitor->HandOutResult();
}

} // namespace

extern "C" {

const char* WINAPI init() {
    return "LastLogEntry|LastNLogs";
}

const char* WINAPI getparam(const char* /*functionName*/) {
    return "";
}

const char* WINAPI getinfo(unsigned code) {
    return infoText(code);
}

int WINAPI dlltype() {
    return 1;
}

int WINAPI vis_configure(int /*ignored*/) {
    return 0;
}

CLogMonitor* WINAPI dllstartup(int /*hostValue*/, int loadOwnSettings) {
    return guarded<CLogMonitor*>(nullptr, [&]() -> CLogMonitor* {
        CLogMonitor* monitor = CreateMonitor();
        if (loadOwnSettings == 1) {
            try {
                LoadMonitorSettings(*monitor, GetPluginIniPath().c_str(), kOwnSettingsSection);
            } catch (...) {
                DestroyMonitor(monitor);
                throw;
            }
        }
        return monitor;
    });
}

int WINAPI dllshutdown(CLogMonitor* monitor) {
    return guarded(0, [&] {
        if (IsLiveMonitor(monitor)) {
            monitor->TakeBackResult();
            DestroyMonitor(monitor);
        }
        return 0;
    });
}

int WINAPI load_settings(CLogMonitor* monitor, const char* fileName, const char* section) {
    return guarded(0, [&] {
        // Without a file or section the platform would fall back to a system-wide file.
        if (IsLiveMonitor(monitor) && fileName && section)
            LoadMonitorSettings(*monitor, fileName, section);
        return 0;
    });
}

int WINAPI save_settings(CLogMonitor* monitor, const char* fileName, const char* section) {
    return guarded(0, [&] {
        if (IsLiveMonitor(monitor) && fileName && section)
            SaveMonitorSettings(*monitor, fileName, section);
        return 0;
    });
}

// The text functions. A refresh computes its text aside and adopts it whole, so
// a failure on the way (out of memory) leaves the record with the text it had,
// and that is what the host gets.
char* WINAPI LastLogEntry(CLogMonitor* monitor) {
    return runQuery(monitor, RefreshNewestEntry);
}

char* WINAPI LastNLogs(CLogMonitor* monitor) {
    return runQuery(monitor, RefreshNewestEntries);
}

// The configuration dialog. The values go to whichever instance is current
// when it closes; Esc, a dialog that cannot be shown, or no instance at all
// change nothing, and Accept with no log selected, or with the selection the
// dialog opened with, keeps the instance's log.
int WINAPI configure() {
    return guarded(0, [] {
        if (!g_CurrentMonitor)
            return 0;
        CStringArray names;
        EnumerateLogNames(names);
        CPropertyDialog dialog(names, g_CurrentMonitor->m_OpenLog, g_CurrentMonitor->m_ParseString,
                               nullptr);
        if (dialog.DoModal() != IDOK || !g_CurrentMonitor)
            return 0;
        // A selection the user left as it opened keeps the log, even one the
        // list does not hold (the first entry stood in for it).
        bool logChosen = dialog.m_AcceptedSelection != dialog.m_InitialSelection;
        if (logChosen && !dialog.m_SelectedLog.empty())
            g_CurrentMonitor->m_OpenLog = dialog.m_SelectedLog;
        g_CurrentMonitor->m_ParseString = dialog.m_EditedTemplate;
        SaveMonitorSettings(*g_CurrentMonitor, GetPluginIniPath().c_str(), kOwnSettingsSection);
        return 0;
    });
}

int WINAPI repaint(HDC deviceContext, int /*ignored*/, const char* valueText, int width,
                   int height) {
    return guarded(0, [&] {
        PaintGaugeLine(deviceContext, valueText, width, height);
        return 0;
    });
}

} // extern "C"
