#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orv::posix {

// A Windows command line cut into the words a Windows program would see as
// argv, by the rules of the Microsoft C runtime. The first word is the
// program's name: it ends at the next blank or tab, or, when it starts with a
// quote, at the next quote, and a backslash in it is only a backslash. In the
// words after it blanks and tabs separate, a quote starts or ends a quoted
// stretch, "" inside one is a literal quote, and backslashes count only before
// a quote: 2n of them give n and the quote keeps its meaning, 2n+1 give n and
// a literal quote. The text is Shift_JIS: a backslash that is the second byte
// of a double-byte character belongs to that character.
std::vector<std::string> SplitWindowsCommandLine(std::string_view commandLine);

// The same rules for a text that holds only arguments, with no program name
// in front (the parameters handed to the shell).
std::vector<std::string> SplitWindowsArguments(std::string_view arguments);

}  // namespace orv::posix
