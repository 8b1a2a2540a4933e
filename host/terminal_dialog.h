// The configuration dialog of the POSIX build, shown where kestrin-host runs:
// a full-screen dialog on a terminal, or a line protocol for scripts.
#pragma once

#include "../src/platform/win32api.h"

// How the last dialog ended.
enum class DialogOutcome { Accepted, Cancelled, BadInput };
DialogOutcome lastDialogOutcome();

// The dialog on the terminal (curses): the caption, the list of logs with the
// current one selected, the template in an edit line, the usage text and the
// Accept button, in the real dialog's tab order. Arrow keys move in the list
// and the edit line, Tab and Shift-Tab move between the controls, Enter
// accepts, Esc cancels; any other key does nothing.
void presentOnTerminal(HWND dialog);

// The line protocol, for standard input that is not a terminal: an empty line
// accepts, a number picks that log, "t TEXT" sets the template, "q", Esc or
// the end of input cancels. A line it does not understand is an error on
// standard error, and the dialog closes with nothing changed.
void presentByLines(HWND dialog);
