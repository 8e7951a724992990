#include "app/Text.h"

#include <cstdio>

namespace orv {

bool CopyText(char* field, std::size_t fieldSize, std::string_view text)
{
  if (fieldSize == 0)
    return text.empty();
  const std::size_t length = text.size() < fieldSize ? text.size() : fieldSize - 1;
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
  return length == text.size();
}

bool FormatText(char* buffer, std::size_t size, const char* format, std::va_list args)
{
  const int needed = std::vsnprintf(buffer, size, format, args);
  if (needed < 0) {
    if (size > 0)
      buffer[0] = '\0';
    return false;
  }
  return static_cast<std::size_t>(needed) < size;
}

}  // namespace orv
