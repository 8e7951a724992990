#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/CGlobal.h"
#include "app/Deployment.h"
#include "root/Launcher.h"
#include "support/RecordingView.h"
#include "support/TempDir.h"
#include "support/TestPlatform.h"

namespace orv::test {

// Stands in for the main window's handler: notes what the dialog manager
// delivered.
class NotingHandler : public DialogHandler {
 public:
  void OnInitDialog() override { calls.push_back("init"); }
  void OnCommand(int, int) override { calls.push_back("command"); }
  void OnTimer(int) override { calls.push_back("timer"); }
  void OnDestroy() override { calls.push_back("destroy"); }
  std::vector<std::string> calls;
};

// A start folder made the current directory, a Japanese user locale, the
// platform's real back-ends and the recording window: what the launcher finds
// when a user starts it.
class FrameFixture : public ::testing::Test {
 protected:
  // extraCaFile: an authority the HTTP client trusts besides the system's.
  explicit FrameFixture(std::string extraCaFile = "");

  // Settings file in the start folder.
  std::filesystem::path ConfigFile() const { return m_start.path() / "OLConfig.ini"; }
  std::filesystem::path LogFile() const { return m_start.path() / "LaunchDbLog.txt"; }
  // A game folder holding orv.exe.
  std::filesystem::path MakeGameFolder(const std::string& name);
  // The launcher with the packing library of the given name.
  Launcher& MakeLauncher(const char* packLibraryName = "unpack.dll");
  // A launcher started with settings that name a game folder, followed by the
  // given text of the settings file; its shared state has the recording
  // window as main window.
  CGlobal& StartLauncher(const std::string& moreSettings = "");

  TempDir m_start;
  ScopedCurrentDirectory m_inStart{m_start.path()};
  ScopedEnvironment m_lcAll{"LC_ALL", std::nullopt};
  ScopedEnvironment m_lcMessages{"LC_MESSAGES", std::nullopt};
  ScopedEnvironment m_lang{"LANG", "ja_JP.UTF-8"};
  TestPlatform m_backends;
  // The file system the launcher is made with, when not the platform's own:
  // a test that watches the launcher's file operations sets it first.
  FileSystem* m_files = nullptr;
  RecordingView m_view;
  NotingHandler m_mainWindow;
  Deployment m_deployment;
  std::unique_ptr<Launcher> m_launcher;
};

// Whether the library the launcher loads under that bare name ("unpack.dll")
// is loaded in this process from beside the test program.
bool LibraryLoaded(const std::string& windowsName);

}  // namespace orv::test
