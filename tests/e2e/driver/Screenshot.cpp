#include "driver/Screenshot.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "driver/RemoteDialog.h"

namespace orv::e2e {

namespace {

// Releases the drawing objects of one capture in the reverse order of their
// making, whichever step fails.
struct Capture {
  HDC screen = nullptr;
  HDC memory = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  ~Capture()
  {
    if (previous)
      SelectObject(memory, previous);
    if (bitmap)
      DeleteObject(bitmap);
    if (memory)
      DeleteDC(memory);
    if (screen)
      ReleaseDC(nullptr, screen);
  }
};

}  // namespace

bool SaveWindowImage(HWND window, const std::wstring& bmpFile, std::string& error)
{
  // A window of another process cannot draw into this process's device
  // context (PrintWindow would ask it to), so the picture is taken from the
  // screen where the window lies.
  RECT frame;
  if (!GetWindowRect(window, &frame)) {
    error = "the window is gone";
    return false;
  }
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  if (width <= 0 || height <= 0) {
    error = "the window has no area";
    return false;
  }
  Capture capture;
  capture.screen = GetDC(nullptr);
  capture.memory = capture.screen ? CreateCompatibleDC(capture.screen) : nullptr;
  capture.bitmap = capture.memory ? CreateCompatibleBitmap(capture.screen, width, height) : nullptr;
  if (!capture.bitmap) {
    error = "cannot make a bitmap of " + std::to_string(width) + "x" + std::to_string(height);
    return false;
  }
  capture.previous = SelectObject(capture.memory, capture.bitmap);
  if (!BitBlt(capture.memory, 0, 0, width, height, capture.screen, frame.left, frame.top,
              SRCCOPY | CAPTUREBLT)) {
    error = "cannot copy the screen: error " + std::to_string(GetLastError());
    return false;
  }

  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;  // bottom-up rows, as a .bmp file keeps them
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  const DWORD rowBytes = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  std::vector<BYTE> pixels(static_cast<std::size_t>(rowBytes) * height);
  SelectObject(capture.memory, capture.previous);  // GetDIBits wants the bitmap unselected
  capture.previous = nullptr;
  if (GetDIBits(capture.memory, capture.bitmap, 0, static_cast<UINT>(height), pixels.data(),
                reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS) != height) {
    error = "cannot read the bitmap back";
    return false;
  }

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::ofstream out(std::filesystem::path(bmpFile), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(pixels.data()),
            static_cast<std::streamsize>(pixels.size()));
  if (!out.flush()) {
    error = "cannot write " + Utf8(bmpFile);
    return false;
  }
  return true;
}

}  // namespace orv::e2e
