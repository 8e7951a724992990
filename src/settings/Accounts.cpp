#include "settings/Accounts.h"

#include <cstdio>
#include <cstring>

#include "app/CGlobal.h"
#include "app/Status.h"

namespace orv {

namespace {

// The account an edit applies to: the selected one, else the first, else a
// new empty one.
AccountEntry& TargetAccount(AccountList& accounts, int selected)
{
  if (selected >= 0 && static_cast<std::size_t>(selected) < accounts.size())
    return accounts[static_cast<std::size_t>(selected)];
  if (accounts.empty())
    accounts.emplace_back();
  return accounts.front();
}

void SectionName(char (&name)[32], std::size_t index)
{
  std::snprintf(name, sizeof name, "AccountData%zu", index);
}

void AttractionKey(char (&key)[32], std::size_t index)
{
  std::snprintf(key, sizeof key, "Attraction%zu", index);
}

}  // namespace

void AddAccount(AccountList& accounts, std::string_view kivoraId)
{
  accounts.push_back(AccountEntry{std::string(kivoraId), {}, {}});
}

void AddAttractionId(AccountList& accounts, int selected, std::string_view orvAccountId)
{
  TargetAccount(accounts, selected).orvAccountIds.emplace_back(orvAccountId);
}

void SetPassword(AccountList& accounts, int selected, std::string_view password)
{
  TargetAccount(accounts, selected).password = password;
}

void CGlobal::LoadAccounts()
{
  for (std::size_t i = 0;; ++i) {
    char section[32];
    SectionName(section, i);
    // Loading ends at the first number with no section in the file. An entry
    // saved with every value empty still has its section and is loaded, so
    // it cannot hide the accounts stored after it.
    if (!m_profile.HasSection(configPath, section))
      break;

    AccountEntry entry;
    char value[ProfileFile::kTextSize] = {};
    m_profile.ReadText(configPath, section, "KivoraID", value);
    entry.kivoraId = value;
    std::memset(value, 0, sizeof value);
    m_profile.ReadText(configPath, section, "KivoraPass", value);
    entry.password = value;

    for (std::size_t j = 0;; ++j) {
      char key[32];
      AttractionKey(key, j);
      std::memset(value, 0, sizeof value);
      if (m_profile.ReadText(configPath, section, key, value) != kOk)
        break;
      entry.orvAccountIds.emplace_back(value);
    }
    accounts.push_back(std::move(entry));
  }
}

void CGlobal::SaveAccounts()
{
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    const AccountEntry& entry = accounts[i];
    char section[32];
    SectionName(section, i);
    m_profile.WriteText(configPath, section, "KivoraID", entry.kivoraId.c_str());
    m_profile.WriteText(configPath, section, "KivoraPass", entry.password.c_str());
    for (std::size_t j = 0; j < entry.orvAccountIds.size(); ++j) {
      char key[32];
      AttractionKey(key, j);
      m_profile.WriteText(configPath, section, key, entry.orvAccountIds[j].c_str());
    }
  }
}

}  // namespace orv
