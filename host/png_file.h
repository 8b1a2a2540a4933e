// Writes ARGB pixels (row by row from the top) as an 8-bit RGBA PNG file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

bool writePng(const std::string& path, int width, int height, const std::vector<uint32_t>& argb,
              std::string& error);
