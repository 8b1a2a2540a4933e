// Reading and writing an instance's two settings in an INI file.
#pragma once

#include "CLogMonitor.h"

// Reads "OpenLog" and "ParseString" from `section` of `fileName`. A missing key
// gives its default ("System", "%1 - %2"); a value of fewer than two characters
// leaves the field as it was; a value longer than 1023 characters arrives cut.
void LoadMonitorSettings(CLogMonitor& monitor, const char* fileName, const char* section);

// Writes both keys, empty values included; failures go unreported.
void SaveMonitorSettings(const CLogMonitor& monitor, const char* fileName, const char* section);
