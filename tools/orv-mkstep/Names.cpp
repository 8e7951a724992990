// Names as the publisher sees them and as Windows compares and holds them;
// the conversions themselves are the platform's (NamesPosix.cpp,
// NamesWin32.cpp).
#include <cstdio>

#include "MkStep.h"
#include "app/Text.h"

namespace orv::mkstep {

// Converts Shift_JIS to UTF-8; false when a byte is no character.
bool SjisToUtf8(const Sjis& name, Utf8& utf8);

namespace {

// One UTF-8 character decoded; a byte that starts none is taken as itself.
char32_t Decode(const Utf8& text, std::size_t& at)
{
  const unsigned char first = static_cast<unsigned char>(text[at++]);
  int more = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : first >= 0xC0 ? 1 : 0;
  char32_t code = more == 3   ? first & 0x07
                  : more == 2 ? first & 0x0F
                  : more == 1 ? first & 0x1F
                              : first;
  for (; more > 0 && at < text.size(); --more)
    code = code << 6 | (static_cast<unsigned char>(text[at++]) & 0x3F);
  return code;
}

void Encode(char32_t code, Utf8& out)
{
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The upper case of the letters Shift_JIS can spell, as NTFS folds them:
// Latin, Latin-1, Greek, Cyrillic, full-width Latin and Roman numerals.
char32_t Upper(char32_t c)
{
  if ((c >= U'a' && c <= U'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
      (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) || (c >= 0x430 && c <= 0x44F) ||
      (c >= 0xFF41 && c <= 0xFF5A))
    return c - 0x20;
  if (c == 0x3C2)
    return 0x3A3;  // final sigma
  if (c >= 0x450 && c <= 0x45F)
    return c - 0x50;
  if (c >= 0x2170 && c <= 0x217F)
    return c - 0x10;
  return c;
}

}  // namespace

Utf8 Utf8Name(const Sjis& name)
{
  Utf8 utf8;
  if (SjisToUtf8(name, utf8))
    return utf8;
  // Character by character, so that one stray byte does not hide the rest
  // and the text stays UTF-8.
  utf8.clear();
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t length =
        IsLeadByte(static_cast<unsigned char>(name[i])) && i + 1 < name.size() ? 2 : 1;
    Utf8 one;
    if (SjisToUtf8(name.substr(i, length), one)) {
      utf8 += one;
    } else {
      for (std::size_t k = i; k < i + length; ++k) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(name[k]));
        utf8 += escape;
      }
    }
    i += length;
  }
  return utf8;
}

Utf8 ShownName(const fs::path& relative)
{
  Utf8 shown;
  for (const fs::path& part : relative) {
    if (!shown.empty())
      shown += '\\';
    shown += Utf8Path(part);
  }
  return shown;
}

std::string WindowsRefusal(const Utf8& component)
{
  for (const char c : component) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      return "a control character";
    for (const char bad : {'<', '>', ':', '"', '|', '?', '*', '\\', '/'})
      if (c == bad)
        return std::string("the character ") + bad + " Windows does not allow in a name";
  }
  if (!component.empty() && (component.back() == '.' || component.back() == ' '))
    return "a name ending in a dot or a space, which Windows drops";
  // A device name stays a device with any extension and trailing spaces.
  Utf8 stem = component.substr(0, component.find('.'));
  while (!stem.empty() && stem.back() == ' ')
    stem.pop_back();
  Utf8 upper;
  for (const char c : stem)
    upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  bool device = upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" ||
                upper == "CONIN$" || upper == "CONOUT$";
  if (upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0))
    device = upper[3] >= '1' && upper[3] <= '9';
  return device ? "a device name Windows reserves" : "";
}

Utf8 FoldName(const Utf8& name)
{
  Utf8 folded;
  for (std::size_t at = 0; at < name.size();)
    Encode(Upper(Decode(name, at)), folded);
  return folded;
}

}  // namespace orv::mkstep
