#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// What the loopback servers of both platforms serve alike: the generated
// pattern and the files of a served folder.
namespace orv::test::loopback {

// The period of the generated pattern: a prime, so no block size a client or
// a server uses divides it.
constexpr std::size_t kPatternPeriod = 1048573;

// One period of the pattern FillGenerated copies from.
const std::vector<char>& Pattern();

bool EqualNoCase(const std::string& a, const std::string& b);

// The file under root that a decoded request path names, or nothing when
// the path would leave root or names no regular file.
std::optional<std::filesystem::path> FileUnder(const std::filesystem::path& root,
                                               const std::string& path);

}  // namespace orv::test::loopback
