// The two text functions' work: the refresh throttle and the reads behind it.
#pragma once

#include "CLogMonitor.h"

#include <cstdint>

// Seconds since 1970-01-01 UTC, from the platform's clock.
int64_t CurrentTime();

// True when `monitor` may read its log again: on its first query, when at least
// five seconds have passed since its own last refresh, or when the clock has
// gone back before that refresh. Records the time when it says yes.
bool IsRefreshDue(CLogMonitor& monitor);

// The newest entry of the monitor's log (or "System" when it names none) through
// its template, or the platform's text for why it could not be read.
void RefreshNewestEntry(CLogMonitor& monitor);

// The newest 25 entries, newest first, each through the template; positions past
// the entries read render the empty entry.
void RefreshNewestEntries(CLogMonitor& monitor);

const int kBatchSize = 25;
