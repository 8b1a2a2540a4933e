// The gauge: one green vertical line at a percentage of an area's width.
#pragma once

#include "../platform/win32api.h"

// The line's column: the whole number that `valueText` starts with (as atoi
// reads it, saturating beyond the 32-bit range) times `width`, over 100,
// truncated toward zero. The product saturates to the 32-bit range before the
// division. A null or digitless text counts as 0.
int GaugeColumn(const char* valueText, int width);

// Clears the area to transparent white and draws the line from (x, 0) to
// (x, height) with a 1.0-wide pen of opaque green. Whatever GDI+ refuses is
// skipped; nothing stays allocated.
void PaintGaugeLine(HDC deviceContext, const char* valueText, int width, int height);
