// kestrin-host: a stand-in for the desktop host. It loads the plugin module and
// calls its exports as the host does, dllstartup first and dllshutdown last.
// What a command produces goes to standard output; diagnostics go to standard
// error.
#include "../src/platform/win32api.h"
#include "plugin_loader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#ifdef _WIN32
#include "machine_win.h"
#include <fcntl.h>
#include <io.h>
#else
#include "../src/platform/emu/emu_control.h"
#include "png_file.h"
#include "terminal_dialog.h"
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char* const kUsage =
    "usage: kestrin-host [--module PATH] [--machine DIR] COMMAND\n"
    "       kestrin-host --version | --help | -h\n"
    "  info                            init, getinfo 0..6, dlltype\n"
    "  entry [--template T] [--log L]  one LastLogEntry\n"
    "  last  [--template T] [--log L]  one LastNLogs\n"
    "  watch [--interval S] [--last] [--template T] [--log L]\n"
    "                                  query again every S seconds until interrupted\n"
    "  configure                       the configuration dialog (in the terminal on POSIX)\n"
    "  settings load FILE SECTION      load an instance's settings and print them\n"
    "  settings save FILE SECTION      save the settings a new instance starts with\n"
    "  paint --value V --width W --height H --out FILE.png\n"
    "                                  paint the gauge and write it as a PNG\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "kestrin-host: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// An instance for the length of one command: dllstartup now, dllshutdown at the end.
class Instance {
  public:
    Instance(PluginModule& module, int loadOwnSettings)
        : module_(module), record_(module.dllstartup(0, loadOwnSettings)) {}
    ~Instance() { module_.dllshutdown(record_); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    PluginRecord* record() const { return record_; }

  private:
    PluginModule& module_;
    PluginRecord* record_;
};

// A file that lives for one command, named as the platform's INI calls take it.
class ScratchFile {
  public:
    ScratchFile() {
#ifdef _WIN32
        char dir[MAX_PATH], file[MAX_PATH];
        if (GetTempPathA(MAX_PATH, dir) && GetTempFileNameA(dir, "kst", 0, file))
            path_ = file;
#else
        char pattern[] = "/tmp/kestrin-host-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0) {
            close(fd);
            path_ = pattern;
        }
#endif
    }
    ~ScratchFile() {
        if (!path_.empty())
            std::remove(path_.c_str());
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const std::string& path() const {
        return path_;
    }

  private:
    std::string path_;
};

int runInfo(PluginModule& module) {
    Instance instance(module, 1);
    std::printf("init: %s\n", module.init());
    for (unsigned code = 0; code <= 6; ++code)
        std::printf("getinfo %u: %s\n", code, module.getinfo(code));
    std::printf("dlltype: %d\n", module.dlltype());
    return 0;
}

// Prints the two settings an instance holds. The host only reaches them through
// the exports, so they are saved to a scratch file and read back from it.
int printSettings(PluginModule& module, PluginRecord* record) {
    ScratchFile scratch;
    if (scratch.path().empty()) {
        std::fprintf(stderr, "kestrin-host: cannot make a scratch file\n");
        return 1;
    }
    const char* section = "Instance";
    module.save_settings(record, scratch.path().c_str(), section);
    for (const char* key : {"OpenLog", "ParseString"}) {
        std::vector<char> value(64 * 1024);
        GetPrivateProfileStringA(section, key, "", value.data(), static_cast<DWORD>(value.size()),
                                 scratch.path().c_str());
        std::printf("%s=%s\n", key, value.data());
    }
    return 0;
}

int runSettings(PluginModule& module, const std::vector<std::string>& args) {
    if (args.size() != 3 || (args[0] != "load" && args[0] != "save"))
        return usageError("settings takes load|save FILE SECTION");
    const std::string& file = args[1];
    const std::string& section = args[2];
    if (args[0] == "load") {
        Instance instance(module, 0);
        module.load_settings(instance.record(), file.c_str(), section.c_str());
        return printSettings(module, instance.record());
    }
    Instance instance(module, 1);
    module.save_settings(instance.record(), file.c_str(), section.c_str());
    std::fprintf(stderr, "kestrin-host: saved the settings of a new instance to [%s] in %s\n",
                 section.c_str(), file.c_str());
    return printSettings(module, instance.record());
}

// Gives an instance the template and log asked for. The host reaches an
// instance's settings only through the exports, so they go through a scratch
// settings file and load_settings (which, as for any host file, keeps values
// shorter than two characters out).
bool applyQuerySettings(PluginModule& module, PluginRecord* record, const std::string* logName,
                        const std::string* outputTemplate) {
    if (!logName && !outputTemplate)
        return true;
    ScratchFile scratch;
    if (scratch.path().empty())
        return false;
    const char* section = "Query";
    if (logName)
        WritePrivateProfileStringA(section, "OpenLog", logName->c_str(), scratch.path().c_str());
    if (outputTemplate)
        WritePrivateProfileStringA(section, "ParseString", outputTemplate->c_str(),
                                   scratch.path().c_str());
    module.load_settings(record, scratch.path().c_str(), section);
    for (const std::string* value : {logName, outputTemplate})
        if (value && value->size() < 2)
            std::fprintf(stderr,
                         "kestrin-host: \"%s\" is shorter than two characters; the "
                         "plugin keeps its own setting\n",
                         value->c_str());
    return true;
}

bool isTerminal(FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream));
#else
    return isatty(fileno(stream));
#endif
}

void sleepSeconds(int seconds) {
#ifdef _WIN32
    Sleep(static_cast<DWORD>(seconds) * 1000);
#else
    sleep(static_cast<unsigned>(seconds));
#endif
}

// entry, last and watch. The first query of a new instance always reads the log,
// so entry and last print fresh text; watch waits out the five-second throttle.
int runQuery(PluginModule& module, const std::string& command,
             const std::vector<std::string>& args) {
    std::string logName, outputTemplate;
    bool hasLog = false, hasTemplate = false, batch = command == "last";
    long interval = 5;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        bool hasValue = i + 1 < args.size();
        if (name == "--template" && hasValue) {
            outputTemplate = args[++i];
            hasTemplate = true;
        } else if (name == "--log" && hasValue) {
            logName = args[++i];
            hasLog = true;
        } else if (name == "--interval" && hasValue && command == "watch") {
            interval = std::strtol(args[++i].c_str(), nullptr, 10);
        } else if (name == "--last" && command == "watch") {
            batch = true;
        } else {
            return usageError(command + " does not take " + name);
        }
    }
    if (interval < 1)
        return usageError("--interval takes a whole number of seconds, 1 or more");
    Instance instance(module, 1);
    if (!applyQuerySettings(module, instance.record(), hasLog ? &logName : nullptr,
                            hasTemplate ? &outputTemplate : nullptr)) {
        std::fprintf(stderr, "kestrin-host: cannot make a scratch file\n");
        return 1;
    }
    plugin_api::QueryFn query = batch ? module.LastNLogs : module.LastLogEntry;
    if (command != "watch") {
        const char* text = query(instance.record());
        std::fwrite(text, 1, std::strlen(text), stdout);
        return 0;
    }
    // On a terminal the text is drawn again in place, with the time of the
    // refresh; into a pipe each new text is written once.
    bool terminal = isTerminal(stdout);
    std::string previous;
    for (bool first = true;; first = false) {
        std::string text = query(instance.record());
        if (terminal) {
            std::time_t now = std::time(nullptr);
            char stamp[32];
            std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
            std::printf("\x1b[H\x1b[2J%s\n\n-- refreshed at %s, every %ld s; Ctrl-C ends --\n",
                        text.c_str(), stamp, interval < 5 ? 5 : interval);
        } else if (first || text != previous) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fputs("\n", stdout);
        }
        previous = text;
        std::fflush(stdout);
        sleepSeconds(static_cast<int>(interval < 5 ? 5 : interval));
    }
}

int runConfigure(PluginModule& module) {
#ifndef _WIN32
    bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    emu::setDialogPresenter(terminal ? presentOnTerminal : presentByLines);
#endif
    Instance instance(module, 1);
    module.configure();
    std::printf("\n");
#ifndef _WIN32
    switch (lastDialogOutcome()) {
    case DialogOutcome::Accepted:
        std::fprintf(stderr, "kestrin-host: accepted: the instance and the plugin's own settings "
                             "file hold the new values\n");
        break;
    case DialogOutcome::Cancelled:
        std::fprintf(stderr, "kestrin-host: cancelled: nothing was changed\n");
        break;
    case DialogOutcome::BadInput:
        return 1;
    }
#endif
    return printSettings(module, instance.record());
}

#ifndef _WIN32
// Paints on an emulated surface of the requested size and saves what repaint
// left there, alpha included.
int runPaint(PluginModule& module, const std::vector<std::string>& args) {
    std::string value, out;
    long width = -1, height = -1;
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
        const std::string& name = args[i];
        const std::string& arg = args[i + 1];
        if (name == "--value")
            value = arg;
        else if (name == "--out")
            out = arg;
        else if (name == "--width" || name == "--height")
            (name == "--width" ? width : height) = std::strtol(arg.c_str(), nullptr, 10);
        else
            return usageError("paint does not take " + name);
    }
    if (args.size() % 2 || out.empty() || width <= 0 || height <= 0 || width > 16384 ||
        height > 16384)
        return usageError("paint takes --value V --width W --height H --out FILE.png, "
                          "with W and H from 1 to 16384");
    Instance instance(module, 0); // GDI+ runs while an instance lives
    HDC surface = emu::createSurface(static_cast<int>(width), static_cast<int>(height));
    module.repaint(surface, 0, value.c_str(), static_cast<int>(width), static_cast<int>(height));
    std::vector<uint32_t> pixels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels.push_back(emu::surfacePixel(surface, x, y));
    emu::destroySurface(surface);
    std::string error;
    if (!writePng(out, static_cast<int>(width), static_cast<int>(height), pixels, error)) {
        std::fprintf(stderr, "kestrin-host: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
#endif

} // namespace

int runCommand(PluginModule& module, const std::vector<std::string>& args);

int main(int argc, char** argv) {
    std::string modulePath = defaultModulePath();
    std::string machine;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--module" || arg == "--machine") && i + 1 < argc) {
            (arg == "--module" ? modulePath : machine) = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            args = {"--version"};
            break;
        } else if ((arg == "--module" || arg == "--machine") && i + 1 >= argc) {
            return usageError(arg + " takes a value");
        } else if (arg.compare(0, 2, "--") == 0 && args.empty()) {
            return usageError("unknown option " + arg);
        } else {
            args.push_back(arg);
        }
    }
    if (args.empty())
        return usageError("no command");

#ifdef _WIN32
    // Wine stands in for the machine: it is given the machine's registry and
    // drive C:, and the plugin's event log calls read the machine's .evt files.
    if (!machine.empty()) {
        std::string error;
        DWORD attributes = GetFileAttributesA(machine.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            GetFileAttributesA((machine + "\\registry\\HKEY_LOCAL_MACHINE.reg").c_str()) ==
                INVALID_FILE_ATTRIBUTES) {
            std::fprintf(stderr,
                         "kestrin-host: the machine folder %s does not exist or holds no "
                         "registry (registry\\HKEY_LOCAL_MACHINE.reg)\n",
                         machine.c_str());
            return 2;
        }
        if (!installMachine(machine, error)) {
            std::fprintf(stderr, "kestrin-host: %s\n", error.c_str());
            return 1;
        }
    }
#else
    if (machine.empty()) {
        const char* env = std::getenv("KESTRIN_MACHINE");
        machine = env ? env : KESTRIN_DEFAULT_MACHINE;
    }
    // An empty machine would answer every query with a failure text: say so instead.
    struct stat info = {};
    if (stat(machine.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "kestrin-host: the machine folder %s does not exist\n",
                     machine.c_str());
        return 2;
    }
    if (stat((machine + "/registry/HKEY_LOCAL_MACHINE.reg").c_str(), &info) != 0) {
        std::fprintf(stderr,
                     "kestrin-host: the machine folder %s holds no registry "
                     "(registry/HKEY_LOCAL_MACHINE.reg)\n",
                     machine.c_str());
        return 2;
    }
    emu::setMachineRoot(machine);
#endif

    PluginModule module(modulePath);
    if (!module.loaded() || !module.complete()) {
        std::fprintf(stderr, "kestrin-host: cannot use the plugin module %s: %s\n",
                     modulePath.c_str(), module.error().c_str());
        return 1;
    }

#ifdef _WIN32
    // The text goes out byte for byte: no CR added before a line feed.
    _setmode(_fileno(stdout), _O_BINARY);
    if (!machine.empty()) {
        auto plugin = static_cast<HMODULE>(module.nativeHandle());
        if (redirectEventLogImports(plugin) != 5) {
            std::fprintf(stderr,
                         "kestrin-host: the module does not import the five event log calls\n");
            return 1;
        }
        trackModuleResources(plugin);
    }
#endif
    int status = runCommand(module, args);
#ifdef _WIN32
    // Every instance is shut down by now: the module must hold nothing.
    std::string held = heldResources();
    if (!held.empty()) {
        std::fprintf(stderr, "kestrin-host: the plugin still holds %s\n", held.c_str());
        return status ? status : 3;
    }
#endif
    return status;
}

int runCommand(PluginModule& module, const std::vector<std::string>& args) {
    std::string command = args[0];
    if (command == "--version") {
        std::printf("kestrin-host %s\nplugin %s (%s)\n", KESTRIN_VERSION, module.getinfo(2),
                    module.getinfo(0));
        return 0;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "info")
        return rest.empty() ? runInfo(module) : usageError("info takes no arguments");
    if (command == "settings")
        return runSettings(module, rest);
    if (command == "configure")
        return rest.empty() ? runConfigure(module) : usageError("configure takes no arguments");
    if (command == "entry" || command == "last" || command == "watch")
        return runQuery(module, command, rest);
#ifndef _WIN32
    if (command == "paint")
        return runPaint(module, rest);
#else
    if (command == "paint")
        return usageError("paint writes PNG files in the POSIX build only");
#endif
    return usageError("unknown command " + command);
}
