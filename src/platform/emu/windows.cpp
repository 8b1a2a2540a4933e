// Windows and dialogs: controls as objects in memory that answer the messages
// the plugin and its framework send, and modal dialogs handed to a presenter.
//
// DialogBoxIndirectParamA builds the dialog from an extended template
// (DLGTEMPLATEEX), sends WM_INITDIALOG, then gives the open dialog to the
// presenter the embedding program installed (a terminal, a test script); with
// none, or when the presenter returns without closing it, the dialog closes as
// Esc closes it (WM_COMMAND IDCANCEL). DialogBoxParamA has no resources to read
// here: -1 with ERROR_RESOURCE_NAME_NOT_FOUND.
//
// The combo box keeps a CBS_SORT list in the platform's order (without regard
// to case, punctuation before digits before letters, hyphens and apostrophes
// weighing only between names otherwise equal; a new entry goes before
// entries equal to it); CB_FINDSTRING and CB_SELECTSTRING look for a non-empty
// prefix without regard to case, starting after the given index and wrapping
// (-1: from the top). A drop-down list's text is its
// selected entry's, WM_SETTEXT does not change it (CB_ERR, which SetWindowTextA
// passes on as a BOOL), and WM_GETTEXT cut short returns the buffer's size.
#include "../win32api.h"
#include "emu_control.h"
#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct HWND__ {
    std::string kind; // "Dialog", "Static", "ComboBox", "Button", "Edit"
    int id = 0;
    DWORD style = 0;
    std::string text;
    std::vector<std::string> items; // combo box entries
    int selection = -1;
    HWND parent = nullptr;
    std::vector<std::unique_ptr<HWND__>> children;
    DLGPROC proc = nullptr;
    LONG_PTR userData = 0;
    bool ended = false;
    INT_PTR result = 0;
    bool isDropDownList() const { return kind == "ComboBox" && (style & 3) == 3; }
};

namespace {

std::set<HWND> liveWindows;
emu::DialogPresenter presenter;

void registerTree(HWND window, bool live) {
    if (live)
        liveWindows.insert(window);
    else
        liveWindows.erase(window);
    for (auto& child : window->children)
        registerTree(child.get(), live);
}

bool isLive(HWND window) {
    return window && liveWindows.count(window);
}

// The order CompareString gives ASCII names without regard to case:
// punctuation and symbols first, then digits, then letters.
int collationClass(unsigned char c) {
    if (std::isalpha(c))
        return 2;
    if (std::isdigit(c))
        return 1;
    return 0;
}

int compareCharacters(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
        int classA = collationClass(ca), classB = collationClass(cb);
        if (classA != classB)
            return classA < classB ? -1 : 1;
        int la = static_cast<unsigned char>(emu::asciiLower(static_cast<char>(ca)));
        int lb = static_cast<unsigned char>(emu::asciiLower(static_cast<char>(cb)));
        if (la != lb)
            return la < lb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

// A hyphen and an apostrophe weigh nothing at the first level, as in the
// platform's word sort: "ab" < "a-b" < "a-c", "coop" < "co-op". Names equal
// without them go in the order of the whole names.
int collate(const std::string& a, const std::string& b) {
    auto words = [](std::string text) {
        text.erase(
            std::remove_if(text.begin(), text.end(), [](char c) { return c == '-' || c == '\''; }),
            text.end());
        return text;
    };
    if (int first = compareCharacters(words(a), words(b)))
        return first;
    size_t specialA = a.size() - words(a).size(), specialB = b.size() - words(b).size();
    if (specialA != specialB)
        return specialA < specialB ? -1 : 1;
    return compareCharacters(a, b);
}

bool startsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           emu::equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

int findPrefix(const HWND__& combo, WPARAM start, const char* prefix) {
    int count = static_cast<int>(combo.items.size());
    if (!prefix || !*prefix || count == 0)
        return CB_ERR;
    int first = static_cast<int>(static_cast<intptr_t>(start));
    first = first < 0 || first >= count ? 0 : first + 1;
    for (int n = 0; n < count; ++n) {
        int i = (first + n) % count;
        if (startsWithIgnoringCase(combo.items[i], prefix))
            return i;
    }
    return CB_ERR;
}

// Reads a DLGTEMPLATEEX: the dialog's caption and its controls.
class TemplateReader {
  public:
    explicit TemplateReader(const void* data) : p_(static_cast<const uint8_t*>(data)) {}
    uint16_t word() {
        uint16_t v = static_cast<uint16_t>(p_[at_] | (p_[at_ + 1] << 8));
        at_ += 2;
        return v;
    }
    uint32_t dword() {
        uint32_t low = word();
        return low | (static_cast<uint32_t>(word()) << 16);
    }
    // A string or an ordinal (0xFFFF then a number).
    std::string text(uint16_t* ordinal = nullptr) {
        uint16_t first = word();
        if (first == 0xFFFF) {
            uint16_t value = word();
            if (ordinal)
                *ordinal = value;
            return "";
        }
        std::u16string wide;
        for (uint16_t c = first; c; c = word())
            wide += static_cast<char16_t>(c);
        std::string out;
        for (char16_t c : wide)
            out += c < 0x100 ? static_cast<char>(c) : '?';
        return out;
    }
    void alignDword() { at_ = (at_ + 3) & ~size_t(3); }

  private:
    const uint8_t* p_;
    size_t at_ = 0;
};

const char* atomClass(uint16_t atom) {
    switch (atom) {
    case 0x80:
        return "Button";
    case 0x81:
        return "Edit";
    case 0x82:
        return "Static";
    case 0x85:
        return "ComboBox";
    default:
        return "Unknown";
    }
}

std::unique_ptr<HWND__> buildDialog(const void* dialogTemplate) {
    TemplateReader t(dialogTemplate);
    auto dialog = std::make_unique<HWND__>();
    dialog->kind = "Dialog";
    if (t.word() != 1 || t.word() != 0xFFFF)
        return nullptr; // only extended templates
    t.dword();          // help id
    t.dword();          // extended style
    dialog->style = t.dword();
    uint16_t count = t.word();
    for (int i = 0; i < 4; ++i)
        t.word(); // x, y, cx, cy
    t.text();     // menu
    t.text();     // class
    dialog->text = t.text();
    if (dialog->style & 0x40) { // DS_SETFONT
        t.word();
        t.word();
        t.word(); // italic and charset
        t.text();
    }
    for (uint16_t i = 0; i < count; ++i) {
        t.alignDword();
        auto control = std::make_unique<HWND__>();
        t.dword(); // help id
        t.dword(); // extended style
        control->style = t.dword();
        for (int k = 0; k < 4; ++k)
            t.word();
        control->id = static_cast<int>(static_cast<int32_t>(t.dword()));
        uint16_t atom = 0;
        std::string className = t.text(&atom);
        control->kind = className.empty() ? atomClass(atom) : className;
        for (const char* known : {"Button", "Edit", "Static", "ComboBox"})
            if (emu::equalsIgnoreCase(control->kind, known))
                control->kind = known;
        control->text = t.text();
        uint16_t extra = t.word();
        for (uint16_t k = 0; k < extra; k += 2)
            t.word();
        control->parent = dialog.get();
        dialog->children.push_back(std::move(control));
    }
    return dialog;
}

LRESULT comboMessage(HWND__& combo, UINT message, WPARAM wParam, LPARAM lParam) {
    auto text = reinterpret_cast<const char*>(lParam);
    int count = static_cast<int>(combo.items.size());
    switch (message) {
    case CB_ADDSTRING: {
        if (!text)
            return CB_ERR;
        // Sorted: before its first equal, found by halving (a list of a
        // hundred thousand logs fills in a moment).
        size_t at = combo.items.size();
        if (combo.style & CBS_SORT)
            at = static_cast<size_t>(
                std::lower_bound(combo.items.begin(), combo.items.end(), std::string(text),
                                 [](const std::string& item, const std::string& added) {
                                     return collate(item, added) < 0;
                                 }) -
                combo.items.begin());
        combo.items.insert(combo.items.begin() + static_cast<long>(at), text);
        if (combo.selection >= static_cast<int>(at))
            ++combo.selection;
        return static_cast<LRESULT>(at);
    }
    case CB_GETCOUNT:
        return count;
    case CB_GETCURSEL:
        return combo.selection;
    case CB_SETCURSEL: {
        // -1 clears the selection; another index outside the list leaves it
        // (as Wine does; the documentation says it clears it).
        int index = static_cast<int>(static_cast<intptr_t>(wParam));
        if (index == -1)
            combo.selection = -1;
        if (index < 0 || index >= count)
            return CB_ERR;
        combo.selection = index;
        return index;
    }
    case CB_FINDSTRING:
        return findPrefix(combo, wParam, text);
    case CB_SELECTSTRING: {
        int found = findPrefix(combo, wParam, text);
        if (found != CB_ERR)
            combo.selection = found;
        return found;
    }
    case CB_GETLBTEXTLEN: {
        int index = static_cast<int>(wParam);
        return index >= 0 && index < count ? static_cast<LRESULT>(combo.items[index].size())
                                           : CB_ERR;
    }
    case CB_GETLBTEXT: {
        int index = static_cast<int>(wParam);
        if (index < 0 || index >= count || !lParam)
            return CB_ERR;
        std::memcpy(reinterpret_cast<char*>(lParam), combo.items[index].c_str(),
                    combo.items[index].size() + 1);
        return static_cast<LRESULT>(combo.items[index].size());
    }
    default:
        return 0;
    }
}

std::string windowText(const HWND__& window) {
    if (window.isDropDownList())
        return window.selection >= 0 ? window.items[window.selection] : "";
    return window.text;
}

} // namespace

namespace emu {
void setDialogPresenter(DialogPresenter newPresenter) {
    presenter = std::move(newPresenter);
}
void pressButton(HWND dialog, int id) {
    if (isLive(dialog) && dialog->proc)
        dialog->proc(dialog, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}
std::vector<std::string> comboEntries(HWND combo) {
    return isLive(combo) ? combo->items : std::vector<std::string>();
}
} // namespace emu

extern "C" INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) {
    SetLastError(1814); // ERROR_RESOURCE_NAME_NOT_FOUND
    return -1;
}

extern "C" INT_PTR WINAPI DialogBoxIndirectParamA(HINSTANCE, LPCDLGTEMPLATEA dialogTemplate,
                                                  HWND parent, DLGPROC dialogProc,
                                                  LPARAM initParam) {
    if (!dialogTemplate || !dialogProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::unique_ptr<HWND__> dialog = buildDialog(dialogTemplate);
    if (!dialog) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    dialog->parent = parent;
    dialog->proc = dialogProc;
    HWND window = dialog.get();
    registerTree(window, true);
    dialogProc(window, WM_INITDIALOG, 0, initParam);
    if (!window->ended && presenter)
        presenter(window);
    if (!window->ended)
        dialogProc(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    INT_PTR result = window->ended ? window->result : IDCANCEL;
    registerTree(window, false);
    return result;
}

extern "C" BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
    if (!isLive(dialog)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    dialog->ended = true;
    dialog->result = result;
    return TRUE;
}

extern "C" HWND WINAPI GetDlgItem(HWND dialog, int id) {
    if (isLive(dialog))
        for (auto& child : dialog->children)
            if (child->id == id)
                return child.get();
    SetLastError(1421); // ERROR_CONTROL_ID_NOT_FOUND
    return nullptr;
}

extern "C" LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!isLive(window))
        return 0;
    switch (message) {
    case WM_SETTEXT:
        if (window->isDropDownList())
            return CB_ERR;
        window->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        return TRUE;
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(windowText(*window).size());
    case WM_GETTEXT: {
        if (!lParam || wParam == 0)
            return 0;
        std::string whole = windowText(*window);
        std::string text = whole.substr(0, wParam - 1);
        std::memcpy(reinterpret_cast<char*>(lParam), text.c_str(), text.size() + 1);
        // A drop-down list cut short answers with the buffer's size, as the
        // platform's combo box does.
        if (window->isDropDownList() && whole.size() >= wParam)
            return static_cast<LRESULT>(wParam);
        return static_cast<LRESULT>(text.size());
    }
    case BM_CLICK:
        if (window->kind == "Button" && window->parent && window->parent->proc)
            window->parent->proc(window->parent, WM_COMMAND, MAKEWPARAM(window->id, 0), 0);
        return 0;
    default:
        return window->kind == "ComboBox" ? comboMessage(*window, message, wParam, lParam) : 0;
    }
}

// What WM_SETTEXT returned, as the platform passes it on: CB_ERR from a
// drop-down list is not FALSE.
extern "C" BOOL WINAPI SetWindowTextA(HWND window, LPCSTR text) {
    return static_cast<BOOL>(SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)));
}

extern "C" int WINAPI GetWindowTextA(HWND window, LPSTR text, int size) {
    return static_cast<int>(SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(size),
                                         reinterpret_cast<LPARAM>(text)));
}

extern "C" int WINAPI GetWindowTextLengthA(HWND window) {
    return static_cast<int>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
}

extern "C" LONG_PTR WINAPI SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
    if (!isLive(window) || index != GWLP_USERDATA)
        return 0;
    LONG_PTR old = window->userData;
    window->userData = value;
    return old;
}

extern "C" LONG_PTR WINAPI GetWindowLongPtrA(HWND window, int index) {
    return isLive(window) && index == GWLP_USERDATA ? window->userData : 0;
}
