#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The test authorities in the machine's store of root authorities (under
// wine, the prefix's), through which WinINet trusts the TLS front. Each
// carries a mark of the process that added it: it leaves the store when
// that process ends normally, and the next process that adds one removes
// those of processes that ended otherwise (killed at a time-out, crashed).
namespace orv::test::rootstore {

// The store to this process alone while the object lives (a mutex of the
// machine, under wine of the wine server). WinINet's chain engine reads the
// store once, at its first use, outside any turn at the store, and a read
// while another process removes an entry can skip others (the registry lists
// its keys by position); so a process that trusts or changes test
// authorities keeps the store until it is done.
class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

 private:
  HANDLE m_mutex;
};

// A process, by id and start time: ids are used again, start times are not.
struct Owner {
  DWORD process = 0;
  ULONGLONG started = 0;
};

Owner ThisProcess();

// The certificates of a PEM file in DER form, in their order; the first.
std::vector<std::vector<BYTE>> ReadPems(const std::string& pemFile);
std::vector<BYTE> ReadPem(const std::string& pemFile);

// Adds the certificate to the store, marked as owner's.
void Add(const std::vector<BYTE>& der, const Owner& owner);
// Removes it from the store, if it is there.
void Remove(const std::vector<BYTE>& der);
// Whether the store holds it.
bool Holds(const std::vector<BYTE>& der);
// Removes the marked certificates whose owners have ended; answers how many.
int RemoveOrphans();

}  // namespace orv::test::rootstore
