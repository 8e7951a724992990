#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orv {

// What the callback of a cabinet walk decides for one file.
enum class CabinetFileAction { Extract, Skip, Abort };

// Walks cabinet files, extracting what the caller asks for.
class CabinetWalker {
 public:
  virtual ~CabinetWalker() = default;

  // The callback gets each file's name inside the cabinet (Shift_JIS, folders
  // separated by `\`) and its size; for Extract it fills target with the
  // launcher path to write the file to (an existing file is replaced; the
  // target's folder must exist). Answers 0 when the walk completed, or an
  // error number of platform/ErrorCodes.h: the cabinet cannot be opened, is
  // damaged, a file cannot be written, or err::kCancelled after Abort.
  using FileCallback =
      std::function<CabinetFileAction(const char* nameInCabinet, std::uint32_t size,
                                      std::string& target)>;
  virtual std::uint32_t Iterate(const char* cabinetPath, const FileCallback& onFile) = 0;
};

}  // namespace orv
