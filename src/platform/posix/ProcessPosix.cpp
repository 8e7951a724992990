#include "platform/posix/ProcessPosix.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/posix/AsciiText.h"
#include "platform/posix/Cp932.h"
#include "platform/posix/FileSystemPosix.h"
#include "platform/posix/WindowsCommandLine.h"

namespace orv::posix {

namespace {

using Words = std::vector<std::string>;

bool IsExecutableFile(const std::string& path)
{
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool IsFolder(const std::string& path)
{
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string FindOnPath(const std::string& name)
{
  const char* variable = std::getenv("PATH");
  const std::string path = variable ? variable : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos)
      end = path.size();
    const std::string folder = end == start ? "." : path.substr(start, end - start);
    const std::string candidate = folder + "/" + name;
    if (IsExecutableFile(candidate))
      return candidate;
    start = end + 1;
  }
  return {};
}

// The child changes into its working folder before it executes anything, so
// a relative path must be made whole first: the launcher means it from its
// own current folder, as Windows does.
std::string Absolute(const std::string& path)
{
  if (path.empty() || path[0] == '/')
    return path;
  std::error_code error;
  const auto whole = std::filesystem::absolute(path, error);
  return error ? path : whole.string();
}

// A program name with a slash in it is a path; a bare one is looked for on
// PATH when the program starts.
std::string ProgramName(std::string name)
{
  return name.find('/') == std::string::npos ? name : Absolute(name);
}

// The game is not waited for, but its exit status must be collected or it
// stays a zombie for as long as the launcher lives.
void ReapInBackground(pid_t child)
{
  try {
    std::thread([child] {
      int status;
      while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the child is running all the same, and leaving it
    // a zombie until the launcher ends harms less than not reporting it.
  }
}

// Runs argv[0] (looked for on PATH when it has no slash) with the launcher's
// environment; an errno value when it could not be started.
int Spawn(const Words& argv, const std::string& folder)
{
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (int error = posix_spawn_file_actions_init(&actions))
    return error;
  if (int error = posix_spawnattr_init(&attributes)) {
    posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  int error = folder.empty() ? 0 : posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  // A descriptor the launcher opened without close-on-exec (a listening
  // socket, a log file) must not stay open for as long as the game runs.
  if (!error)
    error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // Ignored signals (SIGPIPE for the network code) and the blocked mask of
  // the calling thread would otherwise pass into the game.
  sigset_t every, none;
  sigfillset(&every);
  sigemptyset(&none);
  if (!error)
    error = posix_spawnattr_setsigdefault(&attributes, &every);
  if (!error)
    error = posix_spawnattr_setsigmask(&attributes, &none);
  if (!error)
    error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> pointers;
  for (const std::string& word : argv)
    pointers.push_back(const_cast<char*>(word.c_str()));
  pointers.push_back(nullptr);
  pid_t child = 0;
  if (!error)
    error = posix_spawnp(&child, argv[0].c_str(), &actions, &attributes, pointers.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (!error)
    ReapInBackground(child);
  return error;
}

std::uint32_t WindowsErrorFromSpawn(int error)
{
  return error == ENOEXEC ? err::kBadExeFormat : WindowsErrorFromErrno(error);
}

enum class ProgramKind { Windows, Native };

// What Windows would answer for the file before trying to run it, and how it
// is to be run.
std::uint32_t Examine(const std::string& program, ProgramKind& kind)
{
  struct stat info;
  if (stat(program.c_str(), &info) != 0) {
    if (errno != ENOENT)
      return errno == ENOTDIR ? err::kPathNotFound : WindowsErrorFromErrno(errno);
    const std::string folder = program.substr(0, program.rfind('/') + 1);
    return folder.empty() || IsFolder(folder) ? err::kFileNotFound : err::kPathNotFound;
  }
  if (S_ISDIR(info.st_mode))
    return err::kAccessDenied;
  if (!S_ISREG(info.st_mode))
    return err::kBadExeFormat;

  char head[4] = {};
  const int file = open(program.c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t length = file >= 0 ? read(file, head, sizeof head) : -1;
  if (file >= 0)
    close(file);
  const bool executable = access(program.c_str(), X_OK) == 0;
  if (length >= 2 && head[0] == 'M' && head[1] == 'Z') {
    kind = ProgramKind::Windows;
    return 0;
  }
  kind = ProgramKind::Native;
  if (executable)
    return 0;  // the kernel decides, and says ENOEXEC for what it cannot run
  if (length < 0)
    return err::kAccessDenied;
  // Without permission to run it a file is "access denied" only when it is
  // a program at all; anything else (a text file named orv.exe, say) is what
  // Windows calls a bad executable format, whatever its permissions.
  const bool elf =
      length >= 4 && head[0] == '\x7f' && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
  const bool script = length >= 2 && head[0] == '#' && head[1] == '!';
  return elf || script ? err::kAccessDenied : err::kBadExeFormat;
}

// Starts a program named by a Linux path in the folder (the launcher's own
// when empty), a Windows one through wine.
std::uint32_t Launch(const std::string& path, const Words& arguments, const std::string& folder,
                     const std::string& wine)
{
  const std::string program = Absolute(path);
  ProgramKind kind;
  if (std::uint32_t error = Examine(program, kind))
    return error;
  if (!folder.empty() && !IsFolder(folder))
    return err::kDirectoryInvalid;

  Words argv;
  if (kind == ProgramKind::Windows)
    argv.push_back(wine);
  argv.push_back(program);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return WindowsErrorFromSpawn(Spawn(argv, folder));
}

// The words as Linux programs take them, UTF-8; false when a word has no
// UTF-8 form.
bool ToUtf8(const Words& words, std::size_t first, Words& converted)
{
  for (std::size_t i = first; i < words.size(); ++i) {
    std::string utf8;
    if (!Cp932ToUtf8(words[i], utf8))
      return false;
    converted.push_back(std::move(utf8));
  }
  return true;
}

}  // namespace

ProcessesPosix::ProcessesPosix(std::string wineProgram, std::string opener)
    : m_wine(ProgramName(std::move(wineProgram))), m_opener(ProgramName(std::move(opener)))
{
}

std::string ProcessesPosix::DefaultWine()
{
  const std::string debian = "/usr/lib/wine/wine64";
  if (IsExecutableFile(debian))
    return debian;
  for (const char* name : {"wine64", "wine"}) {
    std::string found = FindOnPath(name);
    if (!found.empty())
      return found;
  }
  return "wine";
}

std::uint32_t ProcessesPosix::Start(const char* application, const char* commandLine,
                                    const char* workingDirectory)
{
  const Words words = SplitWindowsCommandLine(commandLine ? commandLine : "");
  // Without an application the first word of the command line names the
  // program, as CreateProcess takes it.
  const std::string program =
      application && *application ? application : words.empty() ? "" : words[0];
  if (program.empty())
    return err::kInvalidParameter;

  std::string native;
  if (!ToNativePath(program, native))
    return err::kInvalidName;
  std::string folder;
  if (workingDirectory && *workingDirectory && !ToNativePath(workingDirectory, folder))
    return err::kInvalidName;
  Words arguments;
  if (!ToUtf8(words, 1, arguments))
    return err::kInvalidParameter;
  return Launch(native, arguments, folder, m_wine);
}

void ProcessesPosix::ShellOpen(const char* program, const char* parameters)
{
  if (!program)
    return;
  Words arguments;
  if (!ToUtf8(SplitWindowsArguments(parameters ? parameters : ""), 0, arguments))
    return;

  // The launcher opens its home page with the Windows browser; here the
  // desktop's opener picks the user's browser.
  if (EqualsNoCase(program, "iexplore.exe")) {
    Words argv{m_opener};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Spawn(argv, "");
    return;
  }

  std::string native;
  if (!ToNativePath(program, native))
    return;
  if (native.find('/') == std::string::npos)
    native = FindOnPath(native);
  if (!native.empty())
    Launch(native, arguments, "", m_wine);
}

}  // namespace orv::posix
