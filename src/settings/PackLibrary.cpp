#include <algorithm>
#include <cstring>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"

namespace orv {

namespace {

constexpr std::uint32_t kPackedFlag = 0x80000000u;
constexpr std::int32_t kZlibFormat = 1;
constexpr std::int32_t kPackLevel = 1;

constexpr const char* kLinkError =
    "unpack.dll のリンクに失敗しました。\n"
    "同じフォルダに unpack.dll が存在するか確認してください。\n"
    "DllLinkErr";
constexpr const char* kFunctionError =
    "unpack.dll の関数の読込みに失敗しました。\nFunctionLinkErr:%s";
constexpr const char* kUnpackError =
    "データの解凍に失敗しました\nPackSize:%d UnpackSize:%d\nUnpackDataErr\nCGlobal::Unpack";

}  // namespace

bool CGlobal::LoadPackLibrary(const char* name)
{
  DynamicLibraries& libraries = m_platform.libraries;
  packLibrary = libraries.Load(name);
  if (!packLibrary) {
    m_app.ShowMessage("Error", "%s", kLinkError);
    return false;
  }
  // Resolved in this order; the first one missing is the one named.
  packEntry = reinterpret_cast<PackFunction>(libraries.Symbol(packLibrary, "Pack"));
  if (!packEntry) {
    m_app.ShowMessage("Error", kFunctionError, "Pack");
    return false;
  }
  unpackEntry = reinterpret_cast<UnpackFunction>(libraries.Symbol(packLibrary, "Unpack"));
  if (!unpackEntry) {
    m_app.ShowMessage("Error", kFunctionError, "Unpack");
    return false;
  }
  packFreeEntry = reinterpret_cast<PackFreeFunction>(libraries.Symbol(packLibrary, "PackFree"));
  if (!packFreeEntry) {
    m_app.ShowMessage("Error", kFunctionError, "PackFree");
    return false;
  }
  return true;
}

void CGlobal::UnloadPackLibrary()
{
  packEntry = nullptr;
  unpackEntry = nullptr;
  packFreeEntry = nullptr;
  if (packLibrary) {
    m_platform.libraries.Free(packLibrary);
    packLibrary = nullptr;
  }
}

bool CGlobal::Unpack(std::uint32_t storedSize, std::uint32_t unpackedSize,
                     const std::uint8_t* source, std::vector<std::uint8_t>& out)
{
  const std::uint32_t packedSize = storedSize & ~kPackedFlag;
  std::uint32_t size = unpackedSize;
  {
    std::lock_guard guard(lock);
    out.assign(unpackedSize, 0);
    // An entry stored as it is has its stored size equal to its size (bit 31,
    // the packed mark, included).
    if (storedSize == unpackedSize) {
      if (unpackedSize != 0)
        std::memcpy(out.data(), source, unpackedSize);
      return true;
    }
    // An empty vector may have no storage at all, and a null buffer asks the
    // library to allocate one; an entry of 0 bytes unpacks into a stand-in.
    std::uint8_t empty = 0;
    void* buffer = unpackedSize != 0 ? out.data() : &empty;
    if (unpackEntry && unpackEntry(source, packedSize, &buffer, &size, kZlibFormat) != 0)
      return true;
    // Whatever the library left in the buffer is not the entry.
    std::fill(out.begin(), out.end(), 0);
  }
  // The box waits for the window thread, which takes the lock to log: it is
  // shown only once the lock is released.
  m_app.ShowMessage("Error", kUnpackError, static_cast<int>(packedSize), static_cast<int>(size));
  return false;
}

std::uint8_t CGlobal::Pack(const void* source, std::uint32_t size, void** packed,
                           std::uint32_t* packedSize)
{
  if (!packEntry || packEntry(source, size, packed, packedSize, kPackLevel, 0) == 0) {
    m_app.ShowMessage("Error", "データの圧縮に失敗しました\nPackDataErr\nCGlobal::Pack");
    return 0;
  }
  return 1;
}

std::uint8_t CGlobal::Unpack(const void* source, std::uint32_t packedSize, void** buffer,
                             std::uint32_t* size)
{
  if (!unpackEntry || unpackEntry(source, packedSize, buffer, size, kZlibFormat) == 0) {
    m_app.ShowMessage("Error", kUnpackError, static_cast<int>(packedSize),
                      size ? static_cast<int>(*size) : 0);
    return 0;
  }
  return 1;
}

std::uint8_t CGlobal::PackDataRelease(void* data)
{
  if (!packFreeEntry || packFreeEntry(data) == 0) {
    m_app.ShowMessage("Error", "データの解放に失敗しました\nDataReleaseErr\nCGlobal::PackDataRelease");
    return 0;
  }
  return 1;
}

}  // namespace orv
