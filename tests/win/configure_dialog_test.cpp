// The real configuration dialog under Wine: opened by configure, read, changed
// and closed from a timer that runs inside its modal loop.
#include "host/plugin_loader.h"
#include "src/config/property_dialog_layout.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string exeDirectory() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, length);
    return self.substr(0, self.find_last_of('\\') + 1);
}

struct DialogSeen {
    bool opened = false;
    std::vector<std::string> entries;
    int selection = -2;
    std::string templateText;
    std::string caption;
};

DialogSeen seen;
bool acceptWithChanges = true;

std::string windowText(HWND window) {
    char buffer[1024] = {};
    GetWindowTextA(window, buffer, sizeof buffer);
    return buffer;
}

// The picture of the open dialog for the README is taken outside Wine (a Unix
// program started from a Wine process ends the process with it, seen under
// 32-bit Wine): the dialog says it is on the screen by making FILE.ready, and
// waits, painting, until the script that watches for it has written FILE.
void takeScreenshot(const char* windowsPath) {
    std::string shot = windowsPath;
    HANDLE ready = CreateFileA((shot + ".ready").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(ready);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 20000;) {
        if (GetFileAttributesA(shot.c_str()) != INVALID_FILE_ATTRIBUTES)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

void CALLBACK workTheDialog(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND dialog = FindWindowA("#32770", KESTRIN_DIALOG_CAPTION);
    if (!dialog)
        return; // not open yet: the timer comes again
    static int ticks = 0;
    if (ticks++ < 3) { // let the dialog paint itself first
        RedrawWindow(dialog, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        return;
    }
    ticks = 0;
    KillTimer(nullptr, timer);
    seen.opened = true;
    seen.caption = windowText(dialog);
    HWND combo = GetDlgItem(dialog, KESTRIN_LOG_COMBO);
    HWND edit = GetDlgItem(dialog, KESTRIN_TEMPLATE_EDIT);
    int count = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        char entry[256] = {};
        SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry));
        seen.entries.push_back(entry);
    }
    seen.selection = static_cast<int>(SendMessageA(combo, CB_GETCURSEL, 0, 0));
    seen.templateText = windowText(edit);
    if (const char* shot = getenv("KESTRIN_DIALOG_SCREENSHOT")) {
        // Wait for the window to be on the screen, then take it.
        for (int i = 0; i < 10; ++i) {
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
            Sleep(50);
        }
        takeScreenshot(shot);
    }
    if (acceptWithChanges) {
        SendMessageA(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>("Application"));
        SetWindowTextA(edit, "%4 %5 %1: %2\\n");
        SendMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    } else {
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    }
}

std::string readIni(const std::string& file, const char* key) {
    char buffer[1024];
    GetPrivateProfileStringA("Kestrin Settings", key, "<missing>", buffer, sizeof buffer,
                             file.c_str());
    return buffer;
}

class ConfigureDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        hostDir_ = std::string(temp) + "kestrin-dialog\\";
        CreateDirectoryA(hostDir_.c_str(), nullptr);
        CreateDirectoryA((hostDir_ + "plugins").c_str(), nullptr);
        ownIni_ = hostDir_ + "plugins\\KestrinPlugin.INI";
        DeleteFileA(ownIni_.c_str());
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Ostrel Velmora\\General", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr);
        RegSetValueExA(key, "DirPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(hostDir_.c_str()),
                       static_cast<DWORD>(hostDir_.size() + 1));
        RegCloseKey(key);
        for (const char* log : {"System", "Application", "Security"}) {
            std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\Eventlog\\") + log;
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
            // A log names its file; the dialog lists no key that does not.
            const std::string file =
                std::string("%SystemRoot%\\System32\\Winevt\\Logs\\") + log + ".evtx";
            RegSetValueExA(key, "File", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(file.c_str()),
                           static_cast<DWORD>(file.size() + 1));
            RegCloseKey(key);
        }
        seen = DialogSeen();
    }

    std::string hostDir_, ownIni_;
    PluginModule module_{exeDirectory() + "KestrinPlugin.dll"};
};

} // namespace

TEST_F(ConfigureDialog, AcceptStoresTheChosenLogAndTemplate) {
    ASSERT_TRUE(module_.complete()) << module_.error();
    PluginRecord* record = module_.dllstartup(0, 1); // System and "%1 - %2"
    acceptWithChanges = true;
    SetTimer(nullptr, 0, 50, workTheDialog);
    EXPECT_EQ(0, module_.configure());
    ASSERT_TRUE(seen.opened);
    EXPECT_EQ(KESTRIN_DIALOG_CAPTION, seen.caption);
    // Wine's registry keeps keys of its own among the logs.
    for (const char* log : {"Application", "Security", "System"})
        EXPECT_NE(seen.entries.end(), std::find(seen.entries.begin(), seen.entries.end(), log));
    EXPECT_TRUE(std::is_sorted(seen.entries.begin(), seen.entries.end()));
    ASSERT_GE(seen.selection, 0);
    EXPECT_EQ("System", seen.entries[seen.selection]);
    EXPECT_EQ("%1 - %2", seen.templateText);
    EXPECT_EQ("Application", readIni(ownIni_, "OpenLog"));
    EXPECT_EQ("%4 %5 %1: %2\\n", readIni(ownIni_, "ParseString"));
    std::string check = hostDir_ + "check.ini";
    module_.save_settings(record, check.c_str(), "Kestrin Settings");
    EXPECT_EQ("Application", readIni(check, "OpenLog")) << "the instance has them too";
    DeleteFileA(check.c_str());
    module_.dllshutdown(record);
}

TEST_F(ConfigureDialog, EscChangesNothing) {
    ASSERT_TRUE(module_.complete()) << module_.error();
    PluginRecord* record = module_.dllstartup(0, 1);
    acceptWithChanges = false;
    SetTimer(nullptr, 0, 50, workTheDialog);
    EXPECT_EQ(0, module_.configure());
    EXPECT_TRUE(seen.opened);
    EXPECT_EQ("<missing>", readIni(ownIni_, "OpenLog"));
    module_.dllshutdown(record);
}
