#include "app/WorkerThread.h"

#include <system_error>

#include "app/CGlobal.h"

namespace orv {

WorkerThread::~WorkerThread()
{
  Join();
}

bool WorkerThread::Start(std::function<void()> work)
{
  Join();
  m_running = true;
  try {
    m_thread = std::thread([this, work = std::move(work)] {
      work();
      m_running = false;
    });
  } catch (const std::system_error&) {
    m_running = false;
    return false;
  }
  return true;
}

void WorkerThread::Wait(CGlobal& global)
{
  if (!m_thread.joinable())
    return;
  View& view = global.platform().view;
  for (;;) {
    global.workerRun = 0;
    if (!m_running)
      break;
    view.DispatchPendingEvent();
  }
  m_thread.join();
}

void WorkerThread::Join()
{
  if (m_thread.joinable())
    m_thread.join();
}

}  // namespace orv
