#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace orv {

class CGlobal;
class View;

// A worker thread of the main window (connect, login, patch). It is started
// on the window thread and waited for there; while it is waited for, the
// window goes on handling its events, because a worker may be calling into
// the window and waiting for the answer.
class WorkerThread {
 public:
  WorkerThread() = default;
  // A thread still running is joined: nothing it uses may go before it.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Runs work on a new thread. An earlier thread may still be finishing: its
  // button is enabled before its last calls into the window (the other
  // buttons, the timer), which on Windows wait for the window thread. It is
  // waited for while the window goes on handling events, and is not asked
  // to stop: it has nothing left to stop. False when no thread could be made.
  bool Start(CGlobal& global, std::function<void()> work);
  // Whether a thread was started and not yet waited for.
  bool Started() const { return m_thread.joinable(); }
  bool Running() const { return m_running; }
  // Clears workerRun, so that downloads and patching stop, and handles
  // window events until the thread has ended; then joins it. Returns at
  // once when no thread was started.
  void Wait(CGlobal& global);
  // Handles window events until the thread has ended, without asking it to
  // stop (workerRun is left as it is), then joins it: for a thread whose
  // wait was cut short another way.
  void Finish(View& view) { WaitForEnd(view, nullptr); }
  // Joins without handling events: for threads known to be ending.
  void Join();

 private:
  // Handles window events until the thread has ended, then joins it. An
  // event handled meanwhile may have waited for the same thread and joined
  // it already.
  void WaitForEnd(View& view, CGlobal* stopping);

  std::thread m_thread;
  std::atomic<bool> m_running{false};
};

}  // namespace orv
