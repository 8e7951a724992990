#include "platform/posix/ByteQueue.h"

#include <algorithm>
#include <cstring>

namespace orv::posix {

namespace {
// The first block: what one read of curl's receive buffer fills.
constexpr std::size_t kFirstCapacity = 65536;
}  // namespace

void ByteQueue::Append(const char* data, std::size_t count)
{
  if (count == 0)
    return;
  if (m_capacity - m_end < count) {
    const std::size_t held = size();
    if (held + count <= m_capacity) {
      std::memmove(m_data.get(), m_data.get() + m_begin, held);
    } else {
      const std::size_t capacity = std::max({m_capacity * 2, held + count, kFirstCapacity});
      std::unique_ptr<char[]> grown(new char[capacity]);
      if (held != 0)
        std::memcpy(grown.get(), m_data.get() + m_begin, held);
      m_data = std::move(grown);
      m_capacity = capacity;
    }
    m_begin = 0;
    m_end = held;
  }
  std::memcpy(m_data.get() + m_end, data, count);
  m_end += count;
}

std::size_t ByteQueue::Take(char* out, std::size_t count)
{
  count = std::min(count, size());
  if (count != 0)
    std::memcpy(out, m_data.get() + m_begin, count);
  m_begin += count;
  if (m_begin == m_end)
    m_begin = m_end = 0;
  return count;
}

void ByteQueue::Release()
{
  m_data.reset();
  m_capacity = m_begin = m_end = 0;
}

}  // namespace orv::posix
