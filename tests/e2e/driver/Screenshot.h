#pragma once

#include <windows.h>

#include <string>

namespace orv::e2e {

// Saves what the screen shows of a window (of any process) as a 24-bit .bmp
// file. False, with the reason, when it cannot.
bool SaveWindowImage(HWND window, const std::wstring& bmpFile, std::string& error);

}  // namespace orv::e2e
