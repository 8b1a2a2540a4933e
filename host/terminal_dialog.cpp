#include "terminal_dialog.h"

#include "../src/config/property_dialog_layout.h"
#include "../src/platform/emu/emu_control.h"

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

class TerminalDialog {
  public:
    explicit TerminalDialog(HWND dialog)
        : dialog_(dialog), combo_(GetDlgItem(dialog, KESTRIN_LOG_COMBO)),
          edit_(GetDlgItem(dialog, KESTRIN_TEMPLATE_EDIT)), entries_(emu::comboEntries(combo_)),
          text_(windowText(edit_)), cursor_(text_.size()) {}

    void run() {
        for (;;) {
            draw();
            int key = getch();
            if (key == 27) // Esc, told from other keys within the escape delay
                return;
            if (key == '\n' || key == '\r' || key == KEY_ENTER) {
                SetWindowTextA(edit_, text_.c_str());
                accept(dialog_);
                return;
            }
            if (key == '\t' || key == KEY_BTAB) {
                focus_ = next(focus_, key == '\t' ? 1 : -1);
                continue;
            }
            if (focus_ == Focus::List)
                listKey(key);
            else if (focus_ == Focus::Edit)
                editKey(key);
        }
    }

  private:
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

    void editKey(int key) {
        if (key == KEY_LEFT && cursor_ > 0)
            --cursor_;
        else if (key == KEY_RIGHT && cursor_ < text_.size())
            ++cursor_;
        else if (key == KEY_HOME)
            cursor_ = 0;
        else if (key == KEY_END)
            cursor_ = text_.size();
        else if ((key == KEY_BACKSPACE || key == 127 || key == 8) && cursor_ > 0)
            text_.erase(--cursor_, 1);
        else if (key == KEY_DC && cursor_ < text_.size())
            text_.erase(cursor_, 1);
        else if (key >= 0x20 && key <= 0xFF && key != 127 && text_.size() < kEditLimit)
            text_.insert(cursor_++, 1, static_cast<char>(key));
    }

    void draw() {
        erase();
        int width = std::max(COLS, 20);
        int row = 0;
        attron(A_REVERSE);
        mvprintw(row++, 0, "%-*s", width, (" " + windowText(dialog_)).c_str());
        attroff(A_REVERSE);
        mvprintw(++row, 2, "Select Log File To Monitor");
        ++row;
        long selected = static_cast<long>(SendMessageA(combo_, CB_GETCURSEL, 0, 0));
        for (size_t i = 0; i < entries_.size(); ++i, ++row) {
            bool chosen = static_cast<long>(i) == selected;
            if (chosen)
                attron(focus_ == Focus::List ? A_REVERSE : A_BOLD);
            mvprintw(row, 4, "%s %s", chosen ? ">" : " ", entries_[i].c_str());
            if (chosen)
                attroff(focus_ == Focus::List ? A_REVERSE : A_BOLD);
        }
        mvprintw(++row, 2, "Configure output");
        ++row;
        // The edit line scrolls to keep the cursor in view, as ES_AUTOHSCROLL does.
        int field = std::max(width - 8, 10);
        size_t first = cursor_ < static_cast<size_t>(field) ? 0 : cursor_ - field + 1;
        std::string shown = text_.substr(first, static_cast<size_t>(field));
        mvprintw(row, 2, "[ %-*s ]", field, shown.c_str());
        int editRow = row++;
        ++row;
        for (const std::string& line : usageLines())
            mvprintw(row++, 2, "%s", line.c_str());
        ++row;
        if (focus_ == Focus::Accept)
            attron(A_REVERSE);
        mvprintw(row++, 4, "[ Accept ]");
        if (focus_ == Focus::Accept)
            attroff(A_REVERSE);
        mvprintw(++row, 2,
                 "Tab: next control   arrows: choose, move   Enter: Accept   Esc: cancel");
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
    std::string text_;
    size_t cursor_;
    Focus focus_ = Focus::List;
};

} // namespace

DialogOutcome lastDialogOutcome() {
    return outcome;
}

void presentOnTerminal(HWND dialog) {
    outcome = DialogOutcome::Cancelled;
    if (!getenv("ESCDELAY"))
        set_escdelay(25); // Esc closes at once, not after a second
    initscr();
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    TerminalDialog(dialog).run();
    endwin();
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
