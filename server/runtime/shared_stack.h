// The one stack a worker runs all its sessions on. Only the session that
// runs last keeps its frames there; the others' frames are copied out to
// the heap, and only the bytes they use: a parked session costs no stack of
// its own, and no mapping, so memory maps never limit how many are held.
#ifndef CAPECHO_SERVER_SHARED_STACK_H
#define CAPECHO_SERVER_SHARED_STACK_H

#include <stddef.h>
#include <stdint.h>

namespace capecho {

// A session's frames while another session has the stack. Zero blocks are
// left out: a quiet session parks in a read into a cleared buffer.
class saved_frames {
 public:
  saved_frames() = default;
  ~saved_frames();
  saved_frames(const saved_frames&) = delete;
  saved_frames& operator=(const saved_frames&) = delete;

  // Copies [from, to) out; false, with nothing kept, when there is no
  // memory for it.
  bool save(const unsigned char* from, const unsigned char* to);
  // Copies what save() took back where it came from.
  void restore(unsigned char* from, const unsigned char* to) const;
  size_t bytes_held() const { return capacity_; }

 private:
  unsigned char* data_ = nullptr;  // a bitmap of the non-zero blocks, then those blocks
  size_t capacity_ = 0;
};

class shared_stack {
 public:
  shared_stack() = default;
  ~shared_stack();
  shared_stack(const shared_stack&) = delete;
  shared_stack& operator=(const shared_stack&) = delete;

  // Maps `bytes` with a guard page below; false, with errno set, on failure.
  bool map(size_t bytes);
  // Gives the mapping back, if any.
  void unmap();
  unsigned char* base() const { return base_; }
  unsigned char* top() const { return base_ + bytes_; }
  size_t bytes() const { return bytes_; }

 private:
  void* mapping_ = nullptr;
  size_t mapping_bytes_ = 0;
  unsigned char* base_ = nullptr;
  size_t bytes_ = 0;
};

// Frames are copied in blocks of this many bytes, and blocks of zeros are
// left out: small enough to skip most of a cleared buffer's neighbours.
inline constexpr size_t frame_block = 16;

}  // namespace capecho

#endif  // CAPECHO_SERVER_SHARED_STACK_H
