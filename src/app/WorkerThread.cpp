#include "app/WorkerThread.h"

#include <system_error>

#include "app/CGlobal.h"

namespace orv {

WorkerThread::~WorkerThread()
{
  Join();
}

bool WorkerThread::Start(CGlobal& global, std::function<void()> work)
{
  WaitForEnd(global.platform().view, nullptr);
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
  WaitForEnd(global.platform().view, &global);
}

void WorkerThread::WaitForEnd(View& view, CGlobal* stopping)
{
  if (!m_thread.joinable())
    return;
  for (;;) {
    if (stopping)
      stopping->workerRun = 0;
    if (!m_running)
      break;
    view.DispatchPendingEvent();
  }
  Join();
}

void WorkerThread::Join()
{
  if (m_thread.joinable())
    m_thread.join();
}

}  // namespace orv
