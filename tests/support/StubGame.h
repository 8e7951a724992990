#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orv::test {

struct TestPlatform;

// The stand-in game the build puts beside the test programs: started, it
// writes launch_record.txt in its working folder (the folder, then one
// argument per line) and ends.
void InstallStubGame(const std::filesystem::path& file);

// Makes the stand-in game the program the launcher opens web pages with
// ("iexplore.exe"), so that its record shows what the opener was given. It
// runs in the current folder and writes its record there. False, with the
// reason in whyNot, where a test cannot replace the system's opener.
bool InstallPageOpener(TestPlatform& backends, std::string& whyNot);
// Leaves the launcher an opener that cannot be started; false as above.
bool BreakPageOpener(TestPlatform& backends, std::string& whyNot);

// Whether the condition comes true within ten seconds, looked at every 20 ms
// (<chrono> has no Shift_JIS form, hence the count).
bool Eventually(const std::function<bool()>& condition);

// The lines of a file once it has appeared and can be read, or nullopt when
// it has not within ten seconds. Writers rename a complete file of one line
// or more into place.
std::optional<std::vector<std::string>> WaitForFileLines(const std::filesystem::path& file);

// The stand-in game's record in its working folder.
inline std::optional<std::vector<std::string>> WaitForLaunchRecord(
    const std::filesystem::path& folder)
{
  return WaitForFileLines(folder / "launch_record.txt");
}

}  // namespace orv::test
