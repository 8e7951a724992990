#pragma once

#include <cstddef>
#include <memory>

namespace orv::posix {

// Bytes between a producer that hands over blocks (curl's write callback) and
// a consumer that takes them in pieces of its own size (the launcher's
// reads): one block with a read offset, so appending and taking are plain
// copies and nothing is done byte by byte. Bytes already taken make room
// before the block grows.
class ByteQueue {
 public:
  std::size_t size() const { return m_end - m_begin; }
  bool empty() const { return m_end == m_begin; }

  // Throws std::bad_alloc when the block cannot grow; the queue is unchanged.
  void Append(const char* data, std::size_t count);
  // Moves up to count bytes into out; answers how many.
  std::size_t Take(char* out, std::size_t count);
  // Drops the bytes and the memory they were held in.
  void Release();

 private:
  std::unique_ptr<char[]> m_data;
  std::size_t m_capacity = 0;
  std::size_t m_begin = 0;
  std::size_t m_end = 0;
};

}  // namespace orv::posix
