// Control of the emulated machine for the programs that embed it (kestrin-host,
// tests, benchmarks). The plugin never includes this: it sees only win32api.h.
#pragma once

#include "../win32api.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace emu {

// What the process holds of the platform's resources right now, so a test can
// assert that a call gave back everything it took.
struct Ledger {
    long localBlocks = 0;
    long registryKeys = 0;
    long gdiplusTokens = 0;
    long gdiplusObjects = 0; // graphics and pens
    long eventLogHandles = 0;
    long modules = 0; // PE files mapped by LoadLibraryExA
};
Ledger ledger();

// The machine folder. Defaults to $KESTRIN_MACHINE; changing it drops every
// cached hive so the next call reads the new machine.
void setMachineRoot(const std::string& dir);
// Files and hives are written only inside the machine folder (links that lead
// out of it included), or to a host file the embedding program names here (a
// file given on its command line): a path from the machine's registry or
// settings never sends a write elsewhere. Reads are not limited.
void allowHostWrite(const std::string& hostFile);
std::string machineRoot();

// The clock GetSystemTimeAsFileTime reads: the host's, or one a test sets, in
// seconds since 1970-01-01 UTC.
void setClock(int64_t unixSeconds);
void useRealClock();

// Maps a Windows path to the host path that holds it (see machine.cpp).
std::string hostPath(const std::string& windowsPath);

// The user is a standard user unless the machine's registry says otherwise;
// a test that sets a machine up through the registry calls acts as an
// administrator for that while this is on.
void actAsAdministrator(bool administrator);

// Failure injection. LocalAlloc succeeds `count` more times, then fails with
// ERROR_NOT_ENOUGH_MEMORY until cleared; a negative count never fails.
void failLocalAllocAfter(long count);
// The next `count` ReadEventLogA calls fail with `error`, or, with `error` 0,
// succeed having read nothing.
void failEventLogReads(long count, DWORD error);
// The next `count` OpenEventLogA calls fail with `error` as the last error (0:
// none, as the platform is seen to leave it at times).
void failEventLogOpens(long count, DWORD error);
// Every seek read fails with ERROR_INVALID_PARAMETER, even for a record the log
// holds, as some Windows versions do on large or wrapped logs.
void refuseSeekReads(bool refuse);
// LoadLibraryExA refuses LOAD_LIBRARY_AS_IMAGE_RESOURCE with
// ERROR_INVALID_PARAMETER, as Windows before Vista does.
void refuseImageResourceLoads(bool refuse);
// The fault matrix: counts, from now, the platform calls made from outside
// the emulation that can fail, and makes call number `position` (from 1) fail
// as it fails when memory runs out; 0 fails none. clearFaults() ends it.
void failPlatformCallAt(long position);
long platformCallsMade();
void clearFaults();

// How often a log file has been searched for its end-of-file record.
long eventLogScans();
// How many bytes the event log calls have read from log files.
long eventLogBytesRead();

// Drawing surfaces: what an HDC is on this machine. A surface is `width` x
// `height` ARGB pixels, row by row from the top, all `fill` at first.
HDC createSurface(int width, int height, uint32_t fill = 0);
void destroySurface(HDC surface);
// The pixel at (x, y); 0 for a point outside the surface or an unknown HDC.
uint32_t surfacePixel(HDC surface, int x, int y);
int surfaceWidth(HDC surface);
int surfaceHeight(HDC surface);

// Modal dialogs: the presenter gets each dialog once it is initialised and may
// work its controls (SendMessageA, SetWindowTextA) and press its buttons; a
// dialog it leaves open closes as Esc closes it.
using DialogPresenter = std::function<void(HWND dialog)>;
void setDialogPresenter(DialogPresenter presenter);
// Sends the dialog WM_COMMAND for button `id`, as a click does.
void pressButton(HWND dialog, int id);
std::vector<std::string> comboEntries(HWND combo);

} // namespace emu
