#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orv {

// One publisher account: its Kivora ID, its password (kept and stored as
// typed) and its game account ids ("attraction ids", shown as ORV-Account).
struct AccountEntry {
  std::string kivoraId;
  std::string password;
  std::vector<std::string> orvAccountIds;

  bool operator==(const AccountEntry&) const = default;
};

using AccountList = std::vector<AccountEntry>;

// The edits the windows make. selected is the account chosen in the main
// window, -1 for none; with none the first account is meant, and with no
// account at all a new one is made. Nothing checks for duplicates.
void AddAccount(AccountList& accounts, std::string_view kivoraId);
void AddAttractionId(AccountList& accounts, int selected, std::string_view orvAccountId);
void SetPassword(AccountList& accounts, int selected, std::string_view password);

}  // namespace orv
