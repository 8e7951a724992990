#include "app/GameFolder.h"

#include <cstring>
#include <string>

#include "app/CGlobal.h"

namespace orv {

bool HoldsGame(FileSystem& files, const char* folder)
{
  return FileReadable(files, (std::string(folder) + "\\orv.exe").c_str());
}

bool ChooseGameFolder(CGlobal& global)
{
  const Platform& platform = global.platform();
  return platform.view.ChooseFolder("ORVフォルダの指定", [&](const char* path) {
    // A folder whose path does not fit the field is not taken: a cut path
    // would name some other folder.
    if (!path || std::strlen(path) >= sizeof global.OrvDir)
      return false;
    CopyText(global.OrvDir, path);
    return HoldsGame(platform.files, path);
  });
}

}  // namespace orv
