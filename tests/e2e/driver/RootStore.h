#pragma once

#include <string>
#include <vector>

namespace orv::e2e {

// The machine's store of root authorities (under wine, the prefix's), the one
// WinINet checks server certificates against: the test's sites present a
// self-signed certificate that must be trusted there, and only for the run.

// Adds the certificate of a PEM file, then checks that a new chain engine
// trusts it and that it passes the TLS server check for each name. False,
// with the reason, when any of it fails.
bool TrustCertificate(const std::wstring& pemFile, const std::vector<std::wstring>& names,
                      std::string& error);

// Removes that certificate again. Removing one that is not there succeeds.
bool DistrustCertificate(const std::wstring& pemFile, std::string& error);

}  // namespace orv::e2e
