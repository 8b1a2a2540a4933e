#include "terminal_dialog.h"

#include "../src/config/property_dialog_layout.h"
#include "../src/platform/emu/codepage.h"
#include "../src/platform/emu/emu_control.h"
#include "terminal_text.h"

#include <curses.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

DialogOutcome outcome = DialogOutcome::Cancelled;

// The edit control's own limit, as Windows sets it for an edit control that
// was given none.
const size_t kEditLimit = 32767;

std::string windowText(HWND window) {
    std::vector<char> text(kEditLimit + 1);
    GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
    return text.data();
}

void accept(HWND dialog) {
    outcome = DialogOutcome::Accepted;
    SendMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
}

std::vector<std::string> usageLines() {
    std::vector<std::string> lines;
    std::string usage = KESTRIN_USAGE_TEXT;
    size_t start = 0;
    for (size_t end; (end = usage.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(usage.substr(start, end - start));
    lines.push_back(usage.substr(start));
    for (std::string& line : lines)
        if (!line.empty() && line[0] == '\t')
            line = "      " + line.substr(1);
    return lines;
}

// The controls that take the focus, in the real dialog's tab order.
enum class Focus { List, Accept, Edit };
Focus next(Focus focus, int step) {
    const Focus order[] = {Focus::List, Focus::Accept, Focus::Edit};
    int at = static_cast<int>(std::find(std::begin(order), std::end(order), focus) - order);
    return order[(at + step + 3) % 3];
}

// Text typed on the terminal is held as characters (one Backspace removes one
// "é") and stored in the machine's code page only when accepted.
std::u16string toWide(const std::wstring& text) {
    std::u16string out;
    for (wchar_t c : text) {
        char32_t code = static_cast<char32_t>(c);
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

std::wstring fromWide(const std::u16string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size())
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        out += static_cast<wchar_t>(c);
    }
    return out;
}

class TerminalDialog {
  public:
    explicit TerminalDialog(HWND dialog)
        : dialog_(dialog), combo_(GetDlgItem(dialog, KESTRIN_LOG_COMBO)),
          edit_(GetDlgItem(dialog, KESTRIN_TEMPLATE_EDIT)), entries_(emu::comboEntries(combo_)),
          text_(fromWide(emu::ansiToWide(windowText(edit_)))), cursor_(text_.size()) {}

    void run() {
        for (;;) {
            draw();
            wint_t key = 0;
            int kind = get_wch(&key);
            if (kind == ERR)
                continue;
            bool special = kind == KEY_CODE_YES;
            if (special && key == KEY_RESIZE)
                continue;
            if (!special && key == 27) // Esc, told from other keys within the escape delay
                return;
            if (tooSmall_) // nothing but Esc and a larger window until it fits
                continue;
            if ((!special && (key == '\n' || key == '\r')) || (special && key == KEY_ENTER) ||
                (!special && key == ' ' && focus_ == Focus::Accept)) {
                if (store())
                    return;
                continue;
            }
            if ((!special && key == '\t') || (special && key == KEY_BTAB)) {
                focus_ = next(focus_, special ? -1 : 1);
                continue;
            }
            if (focus_ == Focus::List && special)
                listKey(static_cast<int>(key));
            else if (focus_ == Focus::Edit)
                editKey(key, special);
        }
    }

  private:
    // The template in the machine's code page, as the edit control holds it; a
    // character the page cannot hold is refused, and the dialog stays.
    bool store() {
        std::u16string wide = toWide(text_);
        std::string ansi = emu::wideToAnsi(wide);
        if (emu::ansiToWide(ansi) != wide) {
            status_ = "the template holds a character the machine's code page (" +
                      std::to_string(GetACP()) + ") cannot hold";
            return false;
        }
        SetWindowTextA(edit_, ansi.c_str());
        accept(dialog_);
        return true;
    }

    void listKey(int key) {
        long count = static_cast<long>(entries_.size());
        long selected = static_cast<long>(SendMessageA(combo_, CB_GETCURSEL, 0, 0));
        long target = selected;
        if (key == KEY_UP)
            target = selected <= 0 ? 0 : selected - 1;
        else if (key == KEY_DOWN)
            target = selected < 0 ? 0 : std::min(selected + 1, count - 1);
        else if (key == KEY_HOME)
            target = 0;
        else if (key == KEY_END)
            target = count - 1;
        if (target != selected && target >= 0)
            SendMessageA(combo_, CB_SETCURSEL, static_cast<WPARAM>(target), 0);
    }

    void editKey(wint_t key, bool special) {
        status_.clear();
        if (special && key == KEY_LEFT && cursor_ > 0)
            --cursor_;
        else if (special && key == KEY_RIGHT && cursor_ < text_.size())
            ++cursor_;
        else if (special && key == KEY_HOME)
            cursor_ = 0;
        else if (special && key == KEY_END)
            cursor_ = text_.size();
        else if (((special && key == KEY_BACKSPACE) || (!special && (key == 127 || key == 8))) &&
                 cursor_ > 0)
            text_.erase(--cursor_, 1);
        else if (special && key == KEY_DC && cursor_ < text_.size())
            text_.erase(cursor_, 1);
        else if (!special && key >= 0x20 && key != 127 && text_.size() < kEditLimit)
            text_.insert(cursor_++, 1, static_cast<wchar_t>(key));
    }

    void print(int row, int column, const std::string& ansi) {
        mvaddstr(row, column, ansiForTerminal(ansi, GetACP()).c_str());
    }

    void draw() {
        erase();
        std::vector<std::string> usage = usageLines();
        const int neededRows = static_cast<int>(entries_.size() + usage.size()) + 12;
        const int neededColumns = 80;
        tooSmall_ = LINES < neededRows || COLS < neededColumns;
        if (tooSmall_) {
            curs_set(0);
            mvprintw(0, 0, "the terminal is too small (%dx%d needed)", neededColumns,
                     std::max(neededRows, 24));
            refresh();
            return;
        }
        int width = COLS;
        int row = 0;
        attron(A_REVERSE);
        mvprintw(row, 0, "%*s", width, "");
        print(row++, 1, windowText(dialog_));
        attroff(A_REVERSE);
        mvprintw(++row, 2, "Select Log File To Monitor");
        ++row;
        long selected = static_cast<long>(SendMessageA(combo_, CB_GETCURSEL, 0, 0));
        for (size_t i = 0; i < entries_.size(); ++i, ++row) {
            bool chosen = static_cast<long>(i) == selected;
            if (chosen)
                attron(focus_ == Focus::List ? A_REVERSE : A_BOLD);
            mvprintw(row, 4, "%s ", chosen ? ">" : " ");
            print(row, 6, entries_[i]);
            if (chosen)
                attroff(focus_ == Focus::List ? A_REVERSE : A_BOLD);
        }
        mvprintw(++row, 2, "Configure output");
        ++row;
        // The edit line scrolls to keep the cursor in view, as ES_AUTOHSCROLL does.
        int field = std::max(width - 8, 10);
        size_t first = cursor_ < static_cast<size_t>(field) ? 0 : cursor_ - field + 1;
        std::wstring shownText = text_.substr(first, static_cast<size_t>(field));
        mvprintw(row, 2, "[ %*s ]", field, "");
        mvaddwstr(row, 4, shownText.c_str());
        int editRow = row++;
        ++row;
        for (const std::string& line : usage)
            print(row++, 2, line);
        ++row;
        if (focus_ == Focus::Accept)
            attron(A_REVERSE);
        mvprintw(row++, 4, "[ Accept ]");
        if (focus_ == Focus::Accept)
            attroff(A_REVERSE);
        mvprintw(++row, 2,
                 "Tab: next control   arrows: choose, move   Enter: Accept   Esc: cancel");
        if (!status_.empty())
            mvprintw(++row, 2, "%s", status_.c_str());
        if (focus_ == Focus::Edit) {
            curs_set(1);
            move(editRow, 4 + static_cast<int>(cursor_ - first));
        } else {
            curs_set(0);
        }
        refresh();
    }

    HWND dialog_, combo_, edit_;
    std::vector<std::string> entries_;
    std::wstring text_;
    size_t cursor_;
    Focus focus_ = Focus::List;
    bool tooSmall_ = false;
    std::string status_;
};

} // namespace

DialogOutcome lastDialogOutcome() {
    return outcome;
}

void presentOnTerminal(HWND dialog) {
    outcome = DialogOutcome::Cancelled;
    if (!getenv("ESCDELAY"))
        set_escdelay(25); // Esc closes at once, not after a second
    // A terminal curses cannot drive falls back to reading lines.
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (!screen) {
        std::fprintf(stderr, "kestrin-host: this terminal cannot show the dialog: reading lines "
                             "instead\n");
        presentByLines(dialog);
        return;
    }
    set_term(screen);
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    TerminalDialog(dialog).run();
    endwin();
    delscreen(screen);
}

void presentByLines(HWND dialog) {
    outcome = DialogOutcome::Cancelled;
    HWND combo = GetDlgItem(dialog, KESTRIN_LOG_COMBO);
    HWND edit = GetDlgItem(dialog, KESTRIN_TEMPLATE_EDIT);
    std::vector<std::string> entries = emu::comboEntries(combo);
    for (;;) {
        std::printf("\n%s\nSelect Log File To Monitor\n", windowText(dialog).c_str());
        long selected = static_cast<long>(SendMessageA(combo, CB_GETCURSEL, 0, 0));
        for (size_t i = 0; i < entries.size(); ++i)
            std::printf("%s %2zu  %s\n", static_cast<long>(i) == selected ? ">" : " ", i + 1,
                        entries[i].c_str());
        std::printf("Configure output: %s\n"
                    "[Enter] Accept  [number] choose a log  [t TEXT] output template  "
                    "[Esc/q] cancel\n> ",
                    windowText(edit).c_str());
        std::fflush(stdout);
        std::string answer;
        int c;
        while ((c = std::getchar()) != EOF && c != '\n')
            answer += static_cast<char>(c);
        if (c == EOF && answer.empty())
            return;
        if (!answer.empty() && answer.back() == '\r')
            answer.pop_back();
        if (answer.empty()) {
            accept(dialog);
            return;
        }
        if (answer == "q" || answer[0] == '\x1b')
            return;
        if (answer.compare(0, 2, "t ") == 0) {
            SetWindowTextA(edit, answer.substr(2).c_str());
            continue;
        }
        char* end = nullptr;
        long pick = std::strtol(answer.c_str(), &end, 10);
        if (end && *end == '\0' && pick >= 1 && pick <= static_cast<long>(entries.size())) {
            SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(pick - 1), 0);
            continue;
        }
        std::fprintf(stderr,
                     "kestrin-host: configure: \"%s\" is not a log's number (1 to %zu), \"t "
                     "TEXT\", an empty line or q; nothing was changed\n",
                     answer.c_str(), entries.size());
        outcome = DialogOutcome::BadInput;
        return;
    }
}
