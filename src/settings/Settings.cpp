#include <string>

#include "app/CGlobal.h"

namespace orv {

namespace {
constexpr const char* kConf = "Conf";
constexpr const char* kConfigFileName = "OLConfig.ini";
}  // namespace

void CGlobal::LoadSettings()
{
  // Start-up has made sure the path fits, so it names the file beside the
  // launcher and never a cut-off other one.
  CopyText(configPath, std::string(startDir) + "\\" + kConfigFileName);

  LoadAccounts();

  // A failed read leaves the field as it was; nothing is range-checked here.
  m_profile.ReadInt(configPath, "LastGID", LastGID);
  m_profile.ReadInt(configPath, "LastAID", LastAID);
  m_profile.ReadText(configPath, kConf, "OrvDir", OrvDir);
  m_profile.ReadInt(configPath, "Logging", Logging);
  m_profile.ReadInt(configPath, "AutoStart", AutoStart);
  m_profile.ReadInt(configPath, "Timeout", Timeout);
  m_profile.ReadText(configPath, kConf, "Home", Home);
  m_profile.ReadInt(configPath, "ReStruct", ReStruct);
  // Written by hand where a network needs it; never saved back.
  m_profile.ReadText(configPath, kConf, "Proxy", Proxy);
}

void CGlobal::SaveSettings()
{
  m_profile.WriteInt(configPath, "LastGID", LastGID);
  m_profile.WriteInt(configPath, "LastAID", LastAID);
  m_profile.WriteText(configPath, kConf, "OrvDir", OrvDir);
  m_profile.WriteInt(configPath, "Logging", Logging);
  m_profile.WriteInt(configPath, "AutoStart", AutoStart);
  m_profile.WriteInt(configPath, "Timeout", Timeout);
  m_profile.WriteText(configPath, kConf, "Home", Home);
  m_profile.WriteInt(configPath, "ReStruct", ReStruct);
}

}  // namespace orv
