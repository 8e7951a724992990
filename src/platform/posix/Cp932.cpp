#include "platform/posix/Cp932.h"

#include <iconv.h>

#include <cerrno>

namespace orv::posix {

namespace {

bool Convert(const char* to, const char* from, std::string_view in, std::string& out)
{
  out.clear();
  if (in.empty())
    return true;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1))
    return false;
  char* source = const_cast<char*>(in.data());
  std::size_t sourceLeft = in.size();
  bool ok = true;
  char chunk[1024];
  while (sourceLeft > 0) {
    char* target = chunk;
    std::size_t targetLeft = sizeof chunk;
    const std::size_t result = iconv(cd, &source, &sourceLeft, &target, &targetLeft);
    out.append(chunk, static_cast<std::size_t>(target - chunk));
    if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  return ok;
}

}  // namespace

bool Cp932ToUtf8(std::string_view cp932, std::string& utf8)
{
  return Convert("UTF-8", "CP932", cp932, utf8);
}

bool Utf8ToCp932(std::string_view utf8, std::string& cp932)
{
  return Convert("CP932", "UTF-8", utf8, cp932);
}

bool ToNativePath(std::string_view path, std::string& native)
{
  std::string slashed;
  slashed.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto byte = static_cast<unsigned char>(path[i]);
    if (IsCp932LeadByte(byte) && i + 1 < path.size()) {
      slashed += path[i];
      slashed += path[++i];
    } else {
      slashed += byte == '\\' ? '/' : path[i];
    }
  }
  return Cp932ToUtf8(slashed, native);
}

}  // namespace orv::posix
