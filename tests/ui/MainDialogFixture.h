#pragma once

// The main window's logic on the recording view, with real worker threads
// talking to a loopback server that is the patch server and the information
// site at once.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/ControlIds.h"
#include "plugins/CPlugIn.h"
#include "support/FrameFixture.h"
#include "support/LoopbackServer.h"
#include "ui/MainDialog.h"

namespace orv::test {

class MainDialogFixture : public FrameFixture {
 protected:
  using Strings = std::vector<std::string>;

  // extraCaFile: an authority the HTTP client trusts besides the system's.
  explicit MainDialogFixture(std::string extraCaFile = "")
      : FrameFixture(std::move(extraCaFile))
  {
    m_server.ServeFolder(m_root.path());
    m_deployment.patchHost = m_deployment.infoHost = "127.0.0.1";
    m_deployment.patchPort = m_deployment.infoPort = m_server.port();
    Put(m_root.path() / "client" / "info.txt", "お知らせ");
  }
  ~MainDialogFixture() override { m_dialog.reset(); }

  static void Put(const std::filesystem::path& file, const std::string& content)
  {
    std::filesystem::create_directories(file.parent_path());
    WriteFile(file, content);
  }
  void ServerVersion(int version)
  {
    Put(m_root.path() / "orv" / "orvnew.ver", std::to_string(version) + "\r\n");
  }
  // The launcher started on a game folder at version 41 (or none) with the
  // accounts given.
  CGlobal& Launch(const std::string& settings = "", const AccountList& accounts = {},
                  bool withVersionFile = true)
  {
    CGlobal& global = StartLauncher(settings);
    m_game = m_start.path() / "game";
    if (withVersionFile)
      WriteFile(m_game / "orv.ver", "41\r\n");
    global.accounts = accounts;
    return global;
  }
  // A main window opened on the running launcher, its connect sequence done.
  MainDialog& Open()
  {
    m_dialog.reset();
    m_dialog = std::make_unique<MainDialog>(Global(), *m_launcher->Plugins());
    m_view.AttachMainWindow(m_dialog.get());
    m_dialog->OnInitDialog();
    m_dialog->connectThread.Join();
    return *m_dialog;
  }
  CGlobal& Global() { return *m_launcher->Global(); }
  std::string Caption() const { return m_view.ControlText(ctl::kMainButton); }
  long Count(const std::string& line) const
  {
    const Strings lines = m_view.LogLines();
    return std::count(lines.begin(), lines.end(), line);
  }

  TempDir m_root;
  LoopbackServer m_server;
  std::filesystem::path m_game;
  std::unique_ptr<MainDialog> m_dialog;
};

}  // namespace orv::test
