#pragma once

#include <cstdint>
#include <vector>

#include "app/WorkerThread.h"
#include "net/HttpSession.h"

namespace orv {

// One transfer slot: a session, the body of its last in-memory download and
// the worker thread that runs on it.
struct ConnectionContext {
  explicit ConnectionContext(CGlobal& global) : session(global) {}

  std::vector<std::uint8_t> body;
  std::uint32_t reserved = 0;
  HttpSession session;
  // Last, so that a worker still running is joined before the session and
  // the body it uses go.
  WorkerThread workerThread;
};

}  // namespace orv
