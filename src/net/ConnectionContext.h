#pragma once

#include <cstdint>
#include <thread>
#include <vector>

#include "net/HttpSession.h"

namespace orv {

// One transfer slot: a session, the body of its last in-memory download and
// the worker thread that runs on it.
struct ConnectionContext {
  explicit ConnectionContext(CGlobal& global) : session(global) {}

  std::vector<std::uint8_t> body;
  std::thread workerThread;  // joined by its owner before the context goes
  std::uint32_t reserved = 0;
  HttpSession session;
};

}  // namespace orv
