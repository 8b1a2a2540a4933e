// The configuration dialog, driven by a scripted presenter.
#include "src/config/property_dialog_layout.h"
#include "src/eventlog/CEventLogReader.h"
#include "src/platform/emu/emu_control.h"
#include "src/plugin/module_state.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

extern "C" {
CLogMonitor* dllstartup(int hostValue, int loadOwnSettings);
int dllshutdown(CLogMonitor* monitor);
int configure();
}

namespace {

const char* const kOwnIni = "drive_c/Velmora/plugins/unit_tests.INI";

// What the dialog showed when it opened.
struct Seen {
    std::vector<std::string> entries;
    std::string selected;
    std::string templateText;
    bool opened = false;
};

std::string textOf(HWND window) {
    char buffer[2048] = {};
    GetWindowTextA(window, buffer, sizeof buffer);
    return buffer;
}

class Configure : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_.writeHive("HKEY_CURRENT_USER",
                           "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Ostrel Velmora\\General]"
                           "\r\n\"DirPath\"=\"C:\\\\Velmora\\\\\"\r\n");
        machine_.writeFile("drive_c/Velmora/plugins/.keep", "");
        logs({"System", "Application", "Security"});
    }
    void TearDown() override { emu::setDialogPresenter(nullptr); }

    // The logs `names`, each with its file, and the two keys of the service's
    // own that Windows 10 keeps beside them, which are not logs.
    void logs(const std::vector<std::string>& names) {
        const std::string eventlog =
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\";
        std::string hive = "REGEDIT4\r\n\r\n" + eventlog +
                           "Parameters]\r\n\"ServiceDll\"=\"x\"\r\n" + eventlog + "State]\r\n";
        for (const std::string& name : names)
            hive += eventlog + name + "]\r\n\"File\"=\"" + name + ".evtx\"\r\n";
        machine_.writeHive("HKEY_LOCAL_MACHINE", hive);
    }

    // Runs configure on a new instance with these settings; `act` works the
    // open dialog (after what it showed is noted).
    CLogMonitor* run(const std::string& log, const std::string& outputTemplate,
                     std::function<void(HWND)> act) {
        CLogMonitor* monitor = dllstartup(0, 0);
        monitor->m_OpenLog = log;
        monitor->m_ParseString = outputTemplate;
        emu::setDialogPresenter([this, act](HWND dialog) {
            HWND combo = GetDlgItem(dialog, KESTRIN_LOG_COMBO);
            seen_.opened = true;
            seen_.entries = emu::comboEntries(combo);
            seen_.selected = textOf(combo);
            seen_.templateText = textOf(GetDlgItem(dialog, KESTRIN_TEMPLATE_EDIT));
            act(dialog);
        });
        EXPECT_EQ(0, configure());
        return monitor;
    }

    TestMachine machine_;
    Seen seen_;
};

void accept(HWND dialog) {
    SendMessageA(GetDlgItem(dialog, KESTRIN_ACCEPT_BUTTON), BM_CLICK, 0, 0);
}

} // namespace

TEST_F(Configure, OpensOnTheCurrentLogAndAcceptStoresBothSettings) {
    CLogMonitor* monitor = run("System", "%1 - %2", accept);
    EXPECT_EQ((std::vector<std::string>{"Application", "Security", "System"}), seen_.entries);
    EXPECT_EQ("System", seen_.selected);
    EXPECT_EQ("%1 - %2", seen_.templateText);
    EXPECT_EQ("System", monitor->m_OpenLog);
    EXPECT_EQ("[Kestrin Settings]\r\nOpenLog=System\r\nParseString=%1 - %2\r\n",
              machine_.readFile(kOwnIni));
    dllshutdown(monitor);
}

TEST_F(Configure, TheUsersChoicesReachTheInstanceAndTheOwnFile) {
    CLogMonitor* monitor = run("sys", "%1", [](HWND dialog) {
        SendMessageA(GetDlgItem(dialog, KESTRIN_LOG_COMBO), CB_SETCURSEL, 0, 0);
        SetWindowTextA(GetDlgItem(dialog, KESTRIN_TEMPLATE_EDIT), "%4 %5: %2\\n");
        accept(dialog);
    });
    EXPECT_EQ("System", seen_.selected) << "a prefix in other letter case";
    EXPECT_EQ("Application", monitor->m_OpenLog);
    EXPECT_EQ("%4 %5: %2\\n", monitor->m_ParseString);
    EXPECT_NE(std::string::npos, machine_.readFile(kOwnIni).find("ParseString=%4 %5: %2\\n"));
    dllshutdown(monitor);
}

TEST_F(Configure, TheSearchStartsAfterTheFirstEntryAndFallsBackToIt) {
    logs({"App", "Apple", "Application"});
    dllshutdown(run("App", "t", [](HWND) {}));
    EXPECT_EQ("Apple", seen_.selected) << "App is entry 0, where the search ends";
    dllshutdown(run("Nothing", "t", [](HWND) {}));
    EXPECT_EQ("App", seen_.selected);
}

TEST_F(Configure, EscChangesNothing) {
    CLogMonitor* monitor = run("Security", "%1", [](HWND dialog) {
        SetWindowTextA(GetDlgItem(dialog, KESTRIN_TEMPLATE_EDIT), "changed");
        emu::pressButton(dialog, IDCANCEL);
    });
    EXPECT_TRUE(seen_.opened);
    EXPECT_EQ("Security", monitor->m_OpenLog);
    EXPECT_EQ("%1", monitor->m_ParseString);
    EXPECT_FALSE(machine_.exists(kOwnIni));
    dllshutdown(monitor);
}

TEST_F(Configure, AnEmptyListKeepsTheLogAndNeverMakesTheKey) {
    machine_.writeHive("HKEY_LOCAL_MACHINE", "REGEDIT4\r\n");
    CLogMonitor* monitor = run("System", "%2", accept);
    EXPECT_TRUE(seen_.entries.empty());
    EXPECT_EQ("", seen_.selected);
    EXPECT_EQ("System", monitor->m_OpenLog) << "no log selected: the instance keeps its own";
    EXPECT_EQ(std::string::npos, machine_.readHive("HKEY_LOCAL_MACHINE").find("Eventlog"));
    dllshutdown(monitor);
}

TEST_F(Configure, WithoutAnInstanceNothingIsShown) {
    bool shown = false;
    emu::setDialogPresenter([&shown](HWND) { shown = true; });
    EXPECT_EQ(nullptr, g_CurrentMonitor);
    EXPECT_EQ(0, configure());
    EXPECT_FALSE(shown);
}

TEST_F(Configure, LongNamesInADoubleByteCodePageAreListedAndAnUnchangedAcceptKeepsTheLog) {
    std::string longName; // 200 kanji: 400 bytes in code page 932
    for (int i = 0; i < 200; ++i)
        longName += "\x8E\x9A";
    std::string hive =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\"
        "CodePage]\r\n\"ACP\"=\"932\"\r\n";
    for (const std::string& log :
         {std::string("System"), longName, std::string("\x8A\xBF\x8E\x9A")})
        hive += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\" + log +
                "\\Source]\r\n"; // a log known by its sources
    machine_.writeHive("HKEY_LOCAL_MACHINE", hive);
    CLogMonitor* monitor = run("Gone", "%1", accept);
    std::vector<std::string> listed = seen_.entries;
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ((std::vector<std::string>{"System", "\x8A\xBF\x8E\x9A", longName}), listed)
        << "a long name neither ends the list nor is left out";
    EXPECT_EQ("Gone", monitor->m_OpenLog) << "the user kept the selection the dialog opened with";
    dllshutdown(monitor);
    CEventLogReader reader;
    EXPECT_TRUE(reader.Open(longName, "")) << "a registered log, whatever the length of its name";
}
