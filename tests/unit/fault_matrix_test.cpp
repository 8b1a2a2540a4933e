// The fault matrix: every platform call an export makes fails once, at each
// position in turn, as it fails when memory runs out. Nothing may crash (the
// ASan build runs this too), nothing may be left held, the text must be the
// fault-free one or the failure the plugin reports for that call, and the
// next run without the fault must give the fault-free text again.
#include "host/plugin_loader.h"
#include "src/config/property_dialog_layout.h"
#include "src/platform/emu/emu_control.h"
#include "src/platform/win32api.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

bool sameLedger(const emu::Ledger& a, const emu::Ledger& b) {
    return a.localBlocks == b.localBlocks && a.registryKeys == b.registryKeys &&
           a.gdiplusTokens == b.gdiplusTokens && a.gdiplusObjects == b.gdiplusObjects &&
           a.eventLogHandles == b.eventLogHandles && a.modules == b.modules;
}

std::string text(const char* t) {
    return t ? t : "<null>";
}

// What the plugin shows when a call fails for want of memory: the platform's
// text for it, or its own.
bool isReportedFailure(const std::string& shown) {
    for (const char* failure : {"There is not enough memory to carry out this command.",
                                "Insuficient memory to allocate event data."})
        if (shown.find(failure) != std::string::npos)
            return true;
    return false;
}

// The entries of a text rendered through "\x01%1\x02%2\x03": source and message.
bool splitEntries(const std::string& text, std::vector<std::pair<std::string, std::string>>& out) {
    out.clear();
    for (size_t at = 0; at < text.size();) {
        size_t bar = text.find('\x02', at), close = text.find('\x03', bar);
        if (text[at] != '\x01' || bar == std::string::npos || close == std::string::npos)
            return false;
        out.emplace_back(text.substr(at + 1, bar - at - 1), text.substr(bar + 1, close - bar - 1));
        at = close + 1;
    }
    return true;
}

// A message that could not be worded under a failed call: its insertion
// strings joined by "; " (a line, where a message file's text ends in a line
// break), or one whose parameter string (%%N) could not be looked up, kept as
// it stands.
bool degradedMessage(const std::string& got, const std::string& want) {
    size_t at = got.find("%%");
    if (at != std::string::npos && got.compare(0, at, want, 0, at) == 0)
        return true;
    return got.find('\n') == std::string::npos && want.find("\r\n") != std::string::npos;
}

// A query's text under a failed call: the failure reported; nothing, when the
// template could not be read (the instance keeps its empty one); the text the
// default settings give, when the settings file could not be found; or the
// same entries, each whole, without its message (its message file could not
// be used) or empty (it could not be read: LastNLogs renders empty entries).
bool degradedQuery(const std::string& failed, const std::string& faultFree,
                   const std::string& withDefaults) {
    if (isReportedFailure(failed) || failed.empty() || failed == withDefaults)
        return true;
    std::vector<std::pair<std::string, std::string>> got, want;
    if (!splitEntries(failed, got) || !splitEntries(faultFree, want) || got.size() != want.size())
        return false;
    for (size_t i = 0; i < got.size(); ++i)
        if (!(got[i] == want[i] || (got[i].first == want[i].first && got[i].second.empty()) ||
              (got[i].first.empty() && got[i].second.empty()) ||
              (got[i].first == want[i].first && degradedMessage(got[i].second, want[i].second))))
            return false;
    return true;
}

struct Scenario {
    const char* name;
    std::function<std::string(PluginModule&, TestMachine&)> run;
    // Whether a text other than the fault-free one is what the plugin gives
    // for a failed call.
    std::function<bool(const std::string& failed, const std::string& faultFree)> acceptable;
};

std::string query(PluginModule& plugin, plugin_api::QueryFn PluginModule::*which) {
    PluginRecord* record = plugin.dllstartup(0, 1);
    if (!record)
        return "<no instance>";
    std::string shown = text((plugin.*which)(record));
    plugin.dllshutdown(record);
    return shown;
}

std::string settingsRoundTrip(PluginModule& plugin, TestMachine& machine) {
    machine.writeFile("drive_c/Velmora/out.ini", "");
    PluginRecord* record = plugin.dllstartup(0, 0);
    if (!record)
        return "<no instance>";
    plugin.load_settings(record, "C:\\Velmora\\in.ini", "Kestrin");
    plugin.save_settings(record, "C:\\Velmora\\out.ini", "Kestrin");
    plugin.dllshutdown(record);
    return machine.readFile("drive_c/Velmora/out.ini");
}

std::string configureAndAccept(PluginModule& plugin, TestMachine& machine) {
    machine.writeFile("drive_c/Program Files/Velmora/plugins/KestrinPlugin.INI", "");
    PluginRecord* record = plugin.dllstartup(0, 0);
    if (!record)
        return "<no instance>";
    emu::setDialogPresenter([](HWND dialog) {
        SendMessageA(GetDlgItem(dialog, KESTRIN_LOG_COMBO), CB_SELECTSTRING,
                     static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("Application"));
        SendMessageA(GetDlgItem(dialog, KESTRIN_ACCEPT_BUTTON), BM_CLICK, 0, 0);
    });
    plugin.configure();
    emu::setDialogPresenter(nullptr);
    plugin.dllshutdown(record);
    return machine.readFile("drive_c/Program Files/Velmora/plugins/KestrinPlugin.INI");
}

std::string paint(PluginModule& plugin, TestMachine&) {
    PluginRecord* record = plugin.dllstartup(0, 0);
    HDC surface = emu::createSurface(40, 8, 0xFF000000u);
    plugin.repaint(surface, 0, "50", 40, 8);
    std::string pixels;
    for (int x = 0; x < 40; ++x)
        pixels += emu::surfacePixel(surface, x, 4) == 0xFF000000u ? '.' : '#';
    emu::destroySurface(surface);
    if (record)
        plugin.dllshutdown(record);
    return pixels;
}

} // namespace

TEST(FaultMatrix, EveryPlatformCallOfEveryExportFailsOnceAtEachPosition) {
    TestMachine machine(KESTRIN_SAMPLE_MACHINE);
    // Entries the checks can take apart: source and message between control
    // characters no text holds.
    machine.writeFile("drive_c/Program Files/Velmora/plugins/KestrinPlugin.INI",
                      "[Kestrin Settings]\r\nOpenLog=System\r\nParseString=\x01%1\x02%2\x03\r\n");
    machine.writeFile("drive_c/Velmora/in.ini",
                      "[Kestrin]\r\nOpenLog=Application\r\nParseString=%1: %2 (%5)\r\n");
    PluginModule plugin(KESTRIN_PLUGIN_MODULE);
    ASSERT_TRUE(plugin.complete()) << plugin.error();
    // What the queries give with the default settings, as when the settings
    // file cannot be found.
    std::string ownIni =
        machine.readFile("drive_c/Program Files/Velmora/plugins/KestrinPlugin.INI");
    std::filesystem::remove(machine.root() +
                            "/drive_c/Program Files/Velmora/plugins/KestrinPlugin.INI");
    const std::string newestWithDefaults = query(plugin, &PluginModule::LastLogEntry);
    const std::string batchWithDefaults = query(plugin, &PluginModule::LastNLogs);
    const Scenario scenarios[] = {
        {"LastLogEntry",
         [&](PluginModule& p, TestMachine& m) {
             m.writeFile("drive_c/Program Files/Velmora/plugins/KestrinPlugin.INI", ownIni);
             return query(p, &PluginModule::LastLogEntry);
         },
         [&](const std::string& failed, const std::string& faultFree) {
             return degradedQuery(failed, faultFree, newestWithDefaults);
         }},
        {"LastNLogs",
         [&](PluginModule& p, TestMachine& m) {
             m.writeFile("drive_c/Program Files/Velmora/plugins/KestrinPlugin.INI", ownIni);
             return query(p, &PluginModule::LastNLogs);
         },
         [&](const std::string& failed, const std::string& faultFree) {
             return degradedQuery(failed, faultFree, batchWithDefaults);
         }},
        // A settings file that cannot be read gives the defaults; a key that
        // cannot be written is left out (the failure goes unreported).
        {"load_settings and save_settings", settingsRoundTrip,
         [](const std::string& file, const std::string&) {
             return file.empty() || file.find("[Kestrin]\r\n") == 0;
         }},
        {"configure", configureAndAccept,
         [](const std::string& file, const std::string&) {
             return file.empty() || file.find("[Kestrin Settings]") == 0;
         }},
        // A drawing call that fails paints nothing.
        {"repaint", paint,
         [](const std::string& pixels, const std::string&) {
             return pixels == std::string(40, '.');
         }},
    };
    long positions = 0;
    for (const Scenario& scenario : scenarios) {
        emu::Ledger before = emu::ledger();
        emu::failPlatformCallAt(0);
        const std::string faultFree = scenario.run(plugin, machine);
        const long calls = emu::platformCallsMade();
        ASSERT_TRUE(sameLedger(before, emu::ledger())) << scenario.name;
        EXPECT_GT(calls, 0) << scenario.name;
        std::set<std::string> shown;
        for (long position = 1; position <= calls; ++position) {
            emu::failPlatformCallAt(position);
            std::string failed = scenario.run(plugin, machine);
            emu::clearFaults();
            EXPECT_TRUE(sameLedger(before, emu::ledger()))
                << scenario.name << ": call " << position << " left something held";
            EXPECT_TRUE(failed == faultFree || scenario.acceptable(failed, faultFree))
                << scenario.name << ": call " << position << " gave [" << failed << "]";
            EXPECT_EQ(faultFree, scenario.run(plugin, machine))
                << scenario.name << ": the run after call " << position << " failed";
            shown.insert(failed);
        }
        positions += calls;
        std::printf("%s: %ld positions, %zu different texts\n", scenario.name, calls, shown.size());
    }
    std::printf("fault matrix: %ld positions\n", positions);
}
