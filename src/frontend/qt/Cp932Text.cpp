#include "frontend/qt/Cp932Text.h"

#include "platform/posix/Cp932.h"

namespace orv::qt {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// One code point's worth of UTF-16 units starting at index.
qsizetype CodePointLength(const QString& text, qsizetype index)
{
  return text.at(index).isHighSurrogate() && index + 1 < text.size() &&
                 text.at(index + 1).isLowSurrogate()
             ? 2
             : 1;
}

}  // namespace

QString FromCp932(std::string_view text)
{
  std::string utf8;
  if (posix::Cp932ToUtf8(text, utf8))
    return QString::fromStdString(utf8);
  // Character by character, so that one bad byte costs one character.
  QString shown;
  for (std::size_t at = 0; at < text.size();) {
    const bool doubleByte =
        posix::IsCp932LeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size();
    const std::size_t length = doubleByte ? 2 : 1;
    if (posix::Cp932ToUtf8(text.substr(at, length), utf8))
      shown += QString::fromStdString(utf8);
    else
      shown += QChar(kReplacement);
    at += length;
  }
  return shown;
}

std::string ToCp932(const QString& text)
{
  std::string bytes;
  if (posix::Utf8ToCp932(text.toStdString(), bytes))
    return bytes;
  std::string kept;
  std::string one;
  for (qsizetype at = 0; at < text.size();) {
    const qsizetype length = CodePointLength(text, at);
    if (posix::Utf8ToCp932(text.mid(at, length).toStdString(), one))
      kept += one;
    at += length;
  }
  return kept;
}

bool HasCp932Form(const QString& text)
{
  std::string bytes;
  return posix::Utf8ToCp932(text.toStdString(), bytes);
}

QValidator::State Cp932Validator::validate(QString& input, int&) const
{
  return HasCp932Form(input) ? Acceptable : Invalid;
}

}  // namespace orv::qt
