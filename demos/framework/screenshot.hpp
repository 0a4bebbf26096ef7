#pragma once
// Saves the current GL read buffer (width x height from the origin) to a file: PNG when the
// name ends in ".png", binary PPM otherwise. False (and errno-style text in out_error) when
// the file cannot be written. GUI thread, with the window's GL context current.

#include <string>

bool saveScreenshot(const char* file, int width, int height, std::string& out_error);
