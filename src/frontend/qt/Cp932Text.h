#pragma once

#include <QString>
#include <QValidator>
#include <string>
#include <string_view>

namespace orv::qt {

// The window speaks Unicode, the launcher Shift_JIS (code page 932). These
// are the only conversions between the two in the window.

// Bytes that are no code page 932 character (a stray trail byte, a byte the
// code page leaves unassigned) show as U+FFFD instead of cutting the text
// short.
QString FromCp932(std::string_view text);

// Characters without a code page 932 form are left out: the launcher never
// receives bytes that are not Shift_JIS. The input fields refuse such
// characters before they get this far (see Cp932Validator), so this only
// guards what reaches a control some other way.
std::string ToCp932(const QString& text);

bool HasCp932Form(const QString& text);

// Refuses any input that has no code page 932 form, so that what the user
// sees in a field is exactly what the launcher reads from it: an account id
// or a password must not lose or change a character on its way in.
class Cp932Validator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& position) const override;
};

}  // namespace orv::qt
