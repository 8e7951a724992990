#pragma once

#include "platform/VersionResource.h"

namespace orv::posix {

// Linux programs and libraries built with orv_version_info carry their
// version strings in an ELF section ".orv.version": one translation and its
// string table. Read takes the section from the file on disk (the file is
// never loaded, so a plugin's code does not run) and turns it into a block
// that Query answers from with the same paths as the Windows resource:
// "\VarFileInfo\Translation" and "\StringFileInfo\<language><code page>\<name>".
class VersionResourcePosix final : public VersionResource {
 public:
  bool Read(const char* path, std::vector<std::uint8_t>& block) override;
  bool Query(const std::vector<std::uint8_t>& block, const char* subBlock, const void** value,
             std::size_t* size) override;
};

}  // namespace orv::posix
