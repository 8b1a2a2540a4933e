// kestrin-host: a stand-in for the desktop host. It loads the plugin module and
// calls its exports as the host does, dllstartup first and dllshutdown last.
// What a command produces goes to standard output; diagnostics go to standard
// error.
#include "../src/platform/win32api.h"
#include "command_line.h"
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
#include "terminal_text.h"
#include <clocale>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char* const kUsage =
    "usage: kestrin-host [--module PATH] [--machine DIR] [--raw | --convert] COMMAND\n"
    "       kestrin-host --version | --help | -h\n"
    "  info                            init, getinfo 0..6 and dlltype, each labelled\n"
    "  entry [--template T] [--log L]  one LastLogEntry: the newest entry\n"
    "  last  [--template T] [--log L]  one LastNLogs: the newest 25 entries\n"
    "  watch [--interval S] [--last] [--template T] [--log L]\n"
    "                                  query again every S seconds (5 at least, the\n"
    "                                  plugin's own limit) until Ctrl-C\n"
    "  configure                       the configuration dialog (in the terminal on POSIX)\n"
    "  settings load FILE SECTION      load an instance's settings and print them\n"
    "  settings save FILE SECTION      save the settings a new instance starts with\n"
    "  paint --value V --width W --height H --out FILE.png\n"
    "                                  paint the gauge and write it as a PNG (POSIX)\n"
    "Options take their value as --name VALUE or --name=VALUE; -- ends the options.\n"
    "On a terminal the plugin's text is shown in the terminal's character set; into a\n"
    "pipe or a file it goes byte for byte in the machine's code page. --convert and\n"
    "--raw choose either. A relative FILE is in the current folder.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "kestrin-host: %s (kestrin-host --help lists the commands)\n",
                 message.c_str());
    return 2;
}

bool isTerminal(FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream));
#else
    return isatty(fileno(stream));
#endif
}

// Whether the plugin's text is converted for a terminal: by default when
// standard output is one. The Windows build writes it as it is.
bool convertOutput = false;

std::string shown(const std::string& text) {
#ifndef _WIN32
    if (convertOutput)
        return ansiForTerminal(text, GetACP());
#endif
    return text;
}

// A query's text: byte for byte into a pipe or a file; converted, and ending
// in a line break, on a terminal.
void writeQueryText(const std::string& text) {
    std::string out = shown(text);
    if (isTerminal(stdout) && (out.empty() || out.back() != '\n'))
        out += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
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
            emu::allowHostWrite(path_); // the host's own file, outside the machine
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
    const char* const labels[] = {"name", "author", "version", "date", "date", "unused", "contact"};
    std::printf("init (the text functions): %s\n", module.init());
    for (unsigned code = 0; code <= 6; ++code)
        std::printf("getinfo %u (%s): %s\n", code, labels[code], module.getinfo(code));
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

// A settings file as the user named it: a relative name is the current
// folder's (the platform would put a bare INI name in the Windows folder).
std::string absoluteSettingsPath(const std::string& file) {
    bool windowsAbsolute =
        (file.size() >= 2 && file[1] == ':') || (!file.empty() && file[0] == '\\');
#ifdef _WIN32
    if (windowsAbsolute)
        return file;
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(file.c_str(), MAX_PATH, full, nullptr);
    return n && n < MAX_PATH ? full : file;
#else
    if (windowsAbsolute || (!file.empty() && file[0] == '/'))
        return file;
    std::vector<char> cwd(4096);
    return getcwd(cwd.data(), cwd.size()) ? std::string(cwd.data()) + "/" + file : file;
#endif
}

bool settingsFileExists(const std::string& file) {
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(file.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat info = {};
    return stat(emu::hostPath(file).c_str(), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

std::string readSetting(const std::string& file, const std::string& section, const char* key) {
    std::vector<char> value(64 * 1024);
    GetPrivateProfileStringA(section.c_str(), key, "\x01", value.data(),
                             static_cast<DWORD>(value.size()), file.c_str());
    return value.data();
}

std::string systemText(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out = text ? text : "error " + std::to_string(code);
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out;
}

int runSettings(PluginModule& module, const std::vector<std::string>& args) {
    if (args.size() != 3 || (args[0] != "load" && args[0] != "save"))
        return usageError("settings takes load FILE SECTION or save FILE SECTION");
    const std::string file = absoluteSettingsPath(args[1]);
    const std::string& section = args[2];
    if (args[0] == "load") {
        if (!settingsFileExists(file))
            std::fprintf(stderr,
                         "kestrin-host: %s does not exist: the instance keeps its defaults\n",
                         file.c_str());
        Instance instance(module, 0);
        module.load_settings(instance.record(), file.c_str(), section.c_str());
        return printSettings(module, instance.record());
    }
#ifndef _WIN32
    if (!file.empty() && file[0] == '/')
        emu::allowHostWrite(file); // named on the command line: the user's to write
#endif
    Instance instance(module, 1);
    module.save_settings(instance.record(), file.c_str(), section.c_str());
    // save_settings says nothing of a failure: the file itself must show it.
    ScratchFile scratch;
    module.save_settings(instance.record(), scratch.path().c_str(), "Instance");
    bool saved = !scratch.path().empty();
    for (const char* key : {"OpenLog", "ParseString"})
        saved = saved &&
                readSetting(file, section, key) == readSetting(scratch.path(), "Instance", key);
    if (!saved) {
        // The platform's reason, from the same write the plugin made.
        SetLastError(0);
        WritePrivateProfileStringA(section.c_str(), "OpenLog",
                                   readSetting(scratch.path(), "Instance", "OpenLog").c_str(),
                                   file.c_str());
        DWORD code = GetLastError();
        std::fprintf(stderr, "kestrin-host: the settings were not saved to [%s] in %s: %s\n",
                     section.c_str(), file.c_str(),
                     code ? systemText(code).c_str() : "the file does not hold them");
        return 1;
    }
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

#ifndef _WIN32
volatile std::sig_atomic_t terminalResized = 0;
void noteResize(int) {
    terminalResized = 1;
}

// The terminal's rows and columns, or 24 by 80 when it does not say.
void terminalSize(int& rows, int& columns) {
    winsize size = {};
    bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row && size.ws_col;
    rows = known ? size.ws_row : 24;
    columns = known ? size.ws_col : 80;
}

// The text cut to the window, as watch(1) shows a command's output: its first
// lines (the newest entries) wrapped at the window's width, and as many as fit
// above the status line.
std::string fitToWindow(const std::string& text, int rows, int columns) {
    std::vector<std::string> lines;
    std::string line;
    auto wrap = [&](const std::string& whole) {
        std::string piece;
        size_t width = 0;
        for (size_t i = 0; i < whole.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(whole[i]);
            bool starts = (c & 0xC0) != 0x80;
            if (starts && width == static_cast<size_t>(columns)) {
                lines.push_back(piece);
                piece.clear();
                width = 0;
            }
            piece += whole[i];
            width += starts;
        }
        lines.push_back(piece);
    };
    for (char c : text) {
        if (c == '\r')
            continue;
        if (c == '\n') {
            wrap(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        wrap(line);
    size_t room = rows > 2 ? static_cast<size_t>(rows - 2) : 1;
    std::string out;
    for (size_t i = 0; i < lines.size() && i < room; ++i)
        out += lines[i] + "\n";
    return out;
}
#endif

// Waits `seconds`; on a terminal it ends early when the window changes size.
void waitOrResize(long seconds) {
#ifdef _WIN32
    Sleep(static_cast<DWORD>(seconds) * 1000);
#else
    for (long tenths = 0; tenths < seconds * 10 && !terminalResized; ++tenths)
        usleep(100000);
#endif
}

// entry, last and watch. The first query of a new instance always reads the log,
// so entry and last print fresh text; watch waits out the five-second throttle.
int runQuery(PluginModule& module, const std::string& command,
             const std::vector<std::string>& args) {
    CommandLine options;
    std::set<std::string> valued = {"--template", "--log"}, flags;
    if (command == "watch") {
        valued.insert("--interval");
        flags.insert("--last");
    }
    std::string error = parseOptions(command, args, valued, flags, options);
    if (error.empty() && !options.words.empty())
        error = command + " takes no word \"" + options.words[0] + "\"";
    if (!error.empty())
        return usageError(error);
    long interval = 5;
    if (options.values.count("--interval") &&
        !parseWholeNumber(options.values["--interval"], 1, 86400, interval))
        return usageError("--interval takes a whole number of seconds from 1 to 86400, not \"" +
                          options.values["--interval"] + "\"");
    if (interval < 5) {
        std::fprintf(stderr,
                     "kestrin-host: the plugin refreshes its text at most every 5 s: querying "
                     "every 5 s, not every %ld\n",
                     interval);
        interval = 5;
    }
    auto value = [&](const char* name) {
        return options.values.count(name) ? &options.values[name] : nullptr;
    };
    Instance instance(module, 1);
    if (!applyQuerySettings(module, instance.record(), value("--log"), value("--template"))) {
        std::fprintf(stderr, "kestrin-host: cannot make a scratch file\n");
        return 1;
    }
    bool batch = command == "last" || options.flags.count("--last");
    plugin_api::QueryFn query = batch ? module.LastNLogs : module.LastLogEntry;
    if (command != "watch") {
        writeQueryText(query(instance.record()));
        return 0;
    }
    // On a terminal the text is drawn again in place, fitted to the window, with
    // the time of the refresh; into a pipe each new text is written once.
    bool terminal = isTerminal(stdout);
#ifndef _WIN32
    if (terminal)
        std::signal(SIGWINCH, noteResize);
#endif
    std::string previous, stamp;
    for (bool first = true;; first = false) {
#ifndef _WIN32
        bool redraw = terminalResized && !first;
        terminalResized = 0;
#else
        bool redraw = false;
#endif
        std::string text = redraw ? previous : std::string(query(instance.record()));
        if (!redraw) {
            std::time_t now = std::time(nullptr);
            char buffer[32];
            std::strftime(buffer, sizeof buffer, "%H:%M:%S", std::localtime(&now));
            stamp = buffer;
        }
        if (terminal) {
            std::string body = shown(text);
#ifndef _WIN32
            int rows, columns;
            terminalSize(rows, columns);
            body = fitToWindow(body, rows, columns);
#endif
            std::printf("\x1b[H\x1b[2J%s\n-- refreshed at %s, every %ld s; Ctrl-C ends --",
                        body.c_str(), stamp.c_str(), interval);
        } else if (first || text != previous) {
            std::string out = shown(text);
            std::fwrite(out.data(), 1, out.size(), stdout);
            std::fputs("\n", stdout);
        }
        previous = text;
        std::fflush(stdout);
        waitOrResize(interval);
    }
}

#ifndef _WIN32
// The plugin's own settings file, as the plugin names it: KestrinPlugin.INI
// (the module's name) in the host's plugins folder.
std::string ownSettingsFile(const std::string& modulePath) {
    HKEY key = nullptr;
    char directory[MAX_PATH] = {};
    DWORD size = sizeof directory - 1;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Ostrel Velmora\\General", 0, KEY_QUERY_VALUE,
                      &key) == ERROR_SUCCESS) {
        RegQueryValueExA(key, "DirPath", nullptr, nullptr, reinterpret_cast<BYTE*>(directory),
                         &size);
        RegCloseKey(key);
    }
    std::string name = modulePath.substr(modulePath.find_last_of("/\\") + 1);
    name = name.substr(0, name.find('.'));
    return std::string(directory) + "plugins\\" + name + ".INI";
}
#endif

// configure: 0 when the values were accepted, 255 when the dialog was left
// with Esc (as dialog(1) and whiptail end), 1 for input it did not understand.
int runConfigure(PluginModule& module, const std::string& modulePath) {
#ifndef _WIN32
    bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    const char* term = std::getenv("TERM");
    if (terminal && (!term || !*term || std::string(term) == "dumb")) {
        std::fprintf(stderr,
                     "kestrin-host: TERM=%s cannot show the dialog: reading lines "
                     "instead\n",
                     term ? term : "");
        terminal = false;
    }
    emu::setDialogPresenter(terminal ? presentOnTerminal : presentByLines);
#endif
    Instance instance(module, 1);
    module.configure();
    std::printf("\n");
#ifndef _WIN32
    switch (lastDialogOutcome()) {
    case DialogOutcome::Accepted:
        std::fprintf(stderr,
                     "kestrin-host: accepted: the instance and the plugin's own settings file "
                     "(%s) hold the new values\n",
                     ownSettingsFile(modulePath).c_str());
        break;
    case DialogOutcome::Cancelled:
        std::fprintf(stderr, "kestrin-host: cancelled: nothing was changed\n");
        printSettings(module, instance.record());
        return 255;
    case DialogOutcome::BadInput:
        return 1;
    }
#else
    (void)modulePath;
#endif
    return printSettings(module, instance.record());
}

#ifndef _WIN32
// Paints on an emulated surface of the requested size and saves what repaint
// left there, alpha included.
int runPaint(PluginModule& module, const std::vector<std::string>& args) {
    CommandLine options;
    std::string error =
        parseOptions("paint", args, {"--value", "--width", "--height", "--out"}, {}, options);
    if (!error.empty())
        return usageError(error);
    long width = 0, height = 0;
    for (const char* name : {"--value", "--width", "--height", "--out"})
        if (!options.values.count(name))
            return usageError(std::string("paint needs ") + name);
    if (!parseWholeNumber(options.values["--width"], 1, 16384, width) ||
        !parseWholeNumber(options.values["--height"], 1, 16384, height))
        return usageError("--width and --height take whole numbers from 1 to 16384");
    if (!options.words.empty())
        return usageError("paint takes no word \"" + options.words[0] + "\"");
    const std::string value = options.values["--value"];
    const std::string out = options.values["--out"];
    Instance instance(module, 0); // GDI+ runs while an instance lives
    HDC surface = emu::createSurface(static_cast<int>(width), static_cast<int>(height));
    module.repaint(surface, 0, value.c_str(), static_cast<int>(width), static_cast<int>(height));
    std::vector<uint32_t> pixels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels.push_back(emu::surfacePixel(surface, x, y));
    emu::destroySurface(surface);
    if (!writePng(out, static_cast<int>(width), static_cast<int>(height), pixels, error)) {
        std::fprintf(stderr, "kestrin-host: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
#endif

} // namespace

int runCommand(PluginModule& module, const std::string& modulePath,
               const std::vector<std::string>& args);

int main(int argc, char** argv) {
#ifndef _WIN32
    std::setlocale(LC_CTYPE, ""); // the terminal's character set
#endif
    std::string modulePath = defaultModulePath();
    std::string machine;
    std::vector<std::string> args;
    bool version = false, raw = false, convert = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg.substr(0, arg.find('='));
        if (!args.empty()) {
            args.push_back(arg); // the command's own
        } else if (name == "--module" || name == "--machine") {
            std::string value;
            if (name.size() < arg.size())
                value = arg.substr(name.size() + 1);
            else if (i + 1 < argc)
                value = argv[++i];
            else
                return usageError(name + " needs a value");
            (name == "--module" ? modulePath : machine) = value;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--raw" || arg == "--convert") {
            (arg == "--raw" ? raw : convert) = true;
        } else if (arg == "--") {
            if (i + 1 < argc)
                args.push_back(argv[++i]);
        } else if (arg.compare(0, 1, "-") == 0) {
            return usageError("unknown option " + arg);
        } else {
            args.push_back(arg);
        }
    }
    if (raw && convert)
        return usageError("--raw and --convert exclude each other");
    convertOutput = convert || (!raw && isTerminal(stdout));
#ifdef _WIN32
    convertOutput = false; // the Windows console takes the machine's code page
#endif
    if (version) {
        // No machine is needed: the plugin's identity is constant.
        std::printf("kestrin-host %s\n", KESTRIN_VERSION);
        PluginModule module(modulePath);
        if (module.loaded() && module.complete())
            std::printf("plugin %s (%s)\n", module.getinfo(2), module.getinfo(0));
        else
            std::printf("plugin: %s does not load: %s\n", modulePath.c_str(),
                        module.error().c_str());
        return 0;
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
            std::fprintf(stderr, "kestrin-host: the machine folder %s %s\n", machine.c_str(),
                         attributes == INVALID_FILE_ATTRIBUTES ? "does not exist"
                         : !(attributes & FILE_ATTRIBUTE_DIRECTORY)
                             ? "is not a folder"
                             : "holds no registry (registry\\HKEY_LOCAL_MACHINE.reg)");
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
        std::fprintf(stderr, "kestrin-host: the machine folder %s %s\n", machine.c_str(),
                     stat(machine.c_str(), &info) != 0 ? "does not exist" : "is not a folder");
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
    int status = runCommand(module, modulePath, args);
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

int runCommand(PluginModule& module, const std::string& modulePath,
               const std::vector<std::string>& args) {
    std::string command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "info")
        return rest.empty() ? runInfo(module) : usageError("info takes no arguments");
    if (command == "settings")
        return runSettings(module, rest);
    if (command == "configure")
        return rest.empty() ? runConfigure(module, modulePath)
                            : usageError("configure takes no arguments");
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
