#include "module_state.h"

#include <algorithm>
#include <memory>
#include <vector>

CLogMonitor* g_CurrentMonitor = nullptr;
ULONG_PTR g_GdiplusToken = 0;

namespace {

// In order of creation, so the last one is always the current one. A host holds
// a handful of instances at most: a linear search is the right tool.
std::vector<std::unique_ptr<CLogMonitor>> liveMonitors;
bool gdiplusRunning = false;

void startGdiplusIfNeeded() {
    if (gdiplusRunning)
        return;
    GdiplusStartupInput input{1, nullptr, FALSE, FALSE};
    ULONG_PTR token = 0;
    // A failed start is tried again by the next instance; painting without GDI+
    // only fails to draw.
    if (GdiplusStartup(&token, &input, nullptr) == 0) {
        g_GdiplusToken = token;
        gdiplusRunning = true;
    }
}

void shutdownGdiplusIfUnused() {
    if (gdiplusRunning && liveMonitors.empty()) {
        GdiplusShutdown(g_GdiplusToken);
        gdiplusRunning = false;
    }
}

} // namespace

CLogMonitor* CreateMonitor() {
    auto monitor = std::make_unique<CLogMonitor>();
    liveMonitors.reserve(liveMonitors.size() + 1);
    startGdiplusIfNeeded();
    liveMonitors.push_back(std::move(monitor));
    g_CurrentMonitor = liveMonitors.back().get();
    return g_CurrentMonitor;
}

bool IsLiveMonitor(const CLogMonitor* monitor) {
    return monitor && std::any_of(liveMonitors.begin(), liveMonitors.end(),
                                  [monitor](const auto& live) { return live.get() == monitor; });
}

void DestroyMonitor(CLogMonitor* monitor) {
    auto it = std::find_if(liveMonitors.begin(), liveMonitors.end(),
                           [monitor](const auto& live) { return live.get() == monitor; });
    if (it == liveMonitors.end())
        return;
    liveMonitors.erase(it);
    g_CurrentMonitor = liveMonitors.empty() ? nullptr : liveMonitors.back().get();
    shutdownGdiplusIfUnused();
}
