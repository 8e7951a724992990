// The cabinets on Windows: the FCI calls of cabinet.dll lay them out and
// compress them. Every file FCI touches goes through the callbacks below, so
// that a file given by its bytes is read from memory, a file given by its
// path is read from disk a block at a time, and FCI's own scratch files stay
// in a folder of ours. The names keep their Shift_JIS bytes unmarked, which
// is how SetupAPI hands them back, in the ANSI code page, to the launcher.
#include "patchkit/CabinetMaker.h"

#include <windows.h>

#include <fci.h>
#include <fcntl.h>

#include <cstring>
#include <memory>

#include "patchkit/CabinetWriter.h"
#include "patchkit/Files.h"

namespace orv::patchkit {

namespace {

// A file FCI has open: one of the caller's contents, or a file on disk.
struct OpenFile {
  const std::string* memory = nullptr;
  std::size_t position = 0;
  HANDLE handle = INVALID_HANDLE_VALUE;
};

struct Session {
  const std::vector<CabinetFile>* files = nullptr;
  std::filesystem::path cabinet;
  std::filesystem::path scratch;
  int scratchCount = 0;
  std::vector<std::unique_ptr<OpenFile>> open;  // index + 1 is the handle FCI holds
  std::string failure;                          // the first reason a callback gave

  OpenFile* Find(INT_PTR handle)
  {
    const auto index = static_cast<std::size_t>(handle);
    return index >= 1 && index <= open.size() ? open[index - 1].get() : nullptr;
  }
  INT_PTR Keep(std::unique_ptr<OpenFile> file)
  {
    for (std::size_t i = 0; i < open.size(); ++i) {
      if (!open[i]) {
        open[i] = std::move(file);
        return static_cast<INT_PTR>(i + 1);
      }
    }
    open.push_back(std::move(file));
    return static_cast<INT_PTR>(open.size());
  }
  void Fail(const std::string& reason)
  {
    if (failure.empty())
      failure = reason;
  }
};

// FCI hands paths around as narrow strings, in which a name outside the
// ANSI code page cannot be spelt. It is given these stand-ins instead, and
// the callbacks open what they stand for by its wide name: the cabinet, a
// scratch file by its number, a file of the cabinet by its index (its bytes
// from memory or from its source file).
constexpr char kCabinetName[] = "<cabinet>";
constexpr char kScratchPrefix[] = "<scratch>";
constexpr char kFilePrefix[] = "<file>";

bool StartsWith(const char* text, const char* prefix)
{
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The file on disk a name FCI hands back stands for.
std::filesystem::path DiskPath(const Session& session, const char* name)
{
  if (std::strcmp(name, kCabinetName) == 0)
    return session.cabinet;
  if (StartsWith(name, kScratchPrefix))
    return session.scratch / ("fci" + std::string(name + std::strlen(kScratchPrefix)));
  if (StartsWith(name, kFilePrefix))
    return (*session.files)[std::stoul(name + std::strlen(kFilePrefix))].source;
  return std::filesystem::path();
}

Session& Of(void* pv)
{
  return *static_cast<Session*>(pv);
}

FNFCIALLOC(Allocate)
{
  return ::operator new(cb, std::nothrow);
}
FNFCIFREE(Release)
{
  ::operator delete(memory);
}

INT_PTR OpenOnDisk(Session& session, const char* name, int oflag, int* err)
{
  DWORD access = GENERIC_READ;
  if ((oflag & (_O_WRONLY | _O_RDWR)) != 0)
    access = (oflag & _O_WRONLY) != 0 ? GENERIC_WRITE : GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  if ((oflag & _O_CREAT) != 0)
    disposition = (oflag & _O_EXCL) != 0    ? CREATE_NEW
                  : (oflag & _O_TRUNC) != 0 ? CREATE_ALWAYS
                                            : OPEN_ALWAYS;
  else if ((oflag & _O_TRUNC) != 0)
    disposition = TRUNCATE_EXISTING;
  const std::filesystem::path path = DiskPath(session, name);
  if (path.empty()) {
    *err = ERROR_FILE_NOT_FOUND;
    session.Fail(std::string("cabinet.dll asked for an unknown file ") + name);
    return -1;
  }
  auto file = std::make_unique<OpenFile>();
  file->handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file->handle == INVALID_HANDLE_VALUE) {
    *err = static_cast<int>(GetLastError());
    session.Fail("cannot open " + path.string() + " (error " + std::to_string(*err) + ")");
    return -1;
  }
  return session.Keep(std::move(file));
}

FNFCIOPEN(Open)
{
  return OpenOnDisk(Of(pv), pszFile, oflag, err);
}

FNFCIREAD(Read)
{
  OpenFile* file = Of(pv).Find(hf);
  if (file == nullptr) {
    *err = ERROR_INVALID_HANDLE;
    return static_cast<UINT>(-1);
  }
  if (file->memory != nullptr) {
    const std::size_t left = file->memory->size() - file->position;
    const std::size_t count = cb < left ? cb : left;
    std::memcpy(memory, file->memory->data() + file->position, count);
    file->position += count;
    return static_cast<UINT>(count);
  }
  DWORD done = 0;
  if (!ReadFile(file->handle, memory, cb, &done, nullptr)) {
    *err = static_cast<int>(GetLastError());
    Of(pv).Fail("cannot read a file of the cabinet (error " + std::to_string(*err) + ")");
    return static_cast<UINT>(-1);
  }
  return done;
}

FNFCIWRITE(Write)
{
  OpenFile* file = Of(pv).Find(hf);
  DWORD done = 0;
  if (file == nullptr || file->memory != nullptr ||
      !WriteFile(file->handle, memory, cb, &done, nullptr) || done != cb) {
    *err = file == nullptr ? ERROR_INVALID_HANDLE : static_cast<int>(GetLastError());
    Of(pv).Fail("cannot write the cabinet (error " + std::to_string(*err) + ")");
    return static_cast<UINT>(-1);
  }
  return done;
}

FNFCICLOSE(Close)
{
  Session& session = Of(pv);
  OpenFile* file = session.Find(hf);
  if (file == nullptr) {
    *err = ERROR_INVALID_HANDLE;
    return -1;
  }
  const bool closed = file->handle == INVALID_HANDLE_VALUE || CloseHandle(file->handle);
  session.open[static_cast<std::size_t>(hf) - 1].reset();
  if (!closed) {
    *err = static_cast<int>(GetLastError());
    return -1;
  }
  return 0;
}

FNFCISEEK(Seek)
{
  OpenFile* file = Of(pv).Find(hf);
  if (file == nullptr) {
    *err = ERROR_INVALID_HANDLE;
    return -1;
  }
  if (file->memory != nullptr) {
    const long long base = seektype == SEEK_SET   ? 0
                           : seektype == SEEK_CUR ? static_cast<long long>(file->position)
                                                  : static_cast<long long>(file->memory->size());
    const long long target = base + dist;
    if (target < 0 || target > static_cast<long long>(file->memory->size())) {
      *err = ERROR_NEGATIVE_SEEK;
      return -1;
    }
    file->position = static_cast<std::size_t>(target);
    return static_cast<__LONG32>(target);
  }
  const DWORD method = seektype == SEEK_SET   ? FILE_BEGIN
                       : seektype == SEEK_CUR ? FILE_CURRENT
                                              : FILE_END;
  const DWORD position = SetFilePointer(file->handle, dist, nullptr, method);
  if (position == INVALID_SET_FILE_POINTER) {
    *err = static_cast<int>(GetLastError());
    return -1;
  }
  return static_cast<__LONG32>(position);
}

FNFCIDELETE(Delete)
{
  const std::filesystem::path path = DiskPath(Of(pv), pszFile);
  if (path.empty() || !DeleteFileW(path.c_str())) {
    *err = static_cast<int>(GetLastError());
    return -1;
  }
  return 0;
}

FNFCIGETTEMPFILE(TempFile)
{
  Session& session = Of(pv);
  const std::string name = kScratchPrefix + std::to_string(++session.scratchCount);
  if (name.size() >= static_cast<std::size_t>(cbTempName))
    return FALSE;
  std::memcpy(pszTempName, name.c_str(), name.size() + 1);
  return TRUE;
}

FNFCIFILEPLACED(Placed)
{
  return 0;
}
FNFCIGETNEXTCABINET(NextCabinet)
{
  return FALSE;
}
FNFCISTATUS(Status)
{
  return 0;
}

// Every file is stamped with the same moment, so that the same step makes
// the same cabinet byte for byte, whenever and wherever it is made.
constexpr USHORT kDosDate = (2000 - 1980) << 9 | 1 << 5 | 1;  // 2000-01-01
constexpr USHORT kDosTime = 0;

FNFCIGETOPENINFO(OpenInfo)
{
  Session& session = Of(pv);
  *pdate = kDosDate;
  *ptime = kDosTime;
  *pattribs = FILE_ATTRIBUTE_ARCHIVE;
  if (StartsWith(pszName, kFilePrefix)) {
    const CabinetFile& source = (*session.files)[std::stoul(pszName + std::strlen(kFilePrefix))];
    if (source.source.empty()) {
      auto file = std::make_unique<OpenFile>();
      file->memory = &source.content;
      return session.Keep(std::move(file));
    }
  }
  return OpenOnDisk(session, pszName, _O_RDONLY | _O_BINARY, err);
}

std::string FciReason(const ERF& erf)
{
  static const char* const kReasons[] = {"no error",
                                         "cannot open a file",
                                         "cannot read a file",
                                         "out of memory",
                                         "cannot make a scratch file",
                                         "unknown compression",
                                         "cannot write the cabinet",
                                         "aborted",
                                         "compression failed"};
  const auto index = static_cast<std::size_t>(erf.erfOper);
  return index < std::size(kReasons) ? kReasons[index] : "FCI error " + std::to_string(erf.erfOper);
}

}  // namespace

bool MakeCabinet(const std::filesystem::path& cabinet, const std::vector<CabinetFile>& files,
                 bool compress, std::string& error)
{
  ScratchFolder scratch;
  if (scratch.path().empty()) {
    error = scratch.error();
    return false;
  }
  Session session;
  session.files = &files;
  session.cabinet = std::filesystem::absolute(cabinet);
  session.scratch = scratch.path();

  CCAB layout{};
  layout.cb = CB_MAX_DISK;
  layout.cbFolderThresh = CB_MAX_DISK;
  std::memcpy(layout.szCab, kCabinetName, sizeof kCabinetName);
  const std::filesystem::path& target = session.cabinet;

  ERF erf{};
  const HFCI fci = FCICreate(&erf, Placed, Allocate, Release, Open, Read, Write, Close, Seek,
                             Delete, TempFile, &layout, &session);
  if (fci == nullptr) {
    error = "cabinet.dll cannot start a cabinet: " + FciReason(erf);
    return false;
  }
  const TCOMP compression = compress ? tcompTYPE_MSZIP : tcompTYPE_NONE;
  bool made = true;
  for (std::size_t i = 0; made && i < files.size(); ++i) {
    std::string source = kFilePrefix + std::to_string(i);
    std::string stored = CabinetName(files[i].name);
    made = FCIAddFile(fci, source.data(), stored.data(), FALSE, NextCabinet, Status, OpenInfo,
                      compression);
    if (!made)
      error = "cabinet.dll cannot add file " + std::to_string(i) + ": " + FciReason(erf);
  }
  if (made && !FCIFlushCabinet(fci, FALSE, NextCabinet, Status)) {
    made = false;
    error = "cabinet.dll cannot finish " + target.string() + ": " + FciReason(erf);
  }
  FCIDestroy(fci);
  if (!made && !session.failure.empty())
    error += " (" + session.failure + ")";
  for (std::unique_ptr<OpenFile>& file : session.open) {
    if (file && file->handle != INVALID_HANDLE_VALUE)
      CloseHandle(file->handle);
  }
  return made;
}

}  // namespace orv::patchkit
