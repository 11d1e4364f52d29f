#include "shared_stack.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "sanitizers.h"

namespace capecho {
namespace {

bool all_zero(const unsigned char* block) {
  uint64_t any = 0;
  for (size_t i = 0; i < frame_block; i += sizeof any) {
    uint64_t word;
    memcpy(&word, block + i, sizeof word);
    any |= word;
  }
  return any == 0;
}

size_t bitmap_bytes(size_t blocks) { return (blocks + 7) / 8; }

}  // namespace

saved_frames::~saved_frames() { free(data_); }

bool saved_frames::save(const unsigned char* from, const unsigned char* to) {
#ifdef CAPECHO_ASAN
  // Redzones of the frames are poisoned; these bytes are copied, not used.
  __asan_unpoison_memory_region(from, static_cast<size_t>(to - from));
#endif
  const size_t blocks = static_cast<size_t>(to - from) / frame_block;
  const size_t map_bytes = bitmap_bytes(blocks);
  size_t kept = 0;
  for (size_t b = 0; b < blocks; ++b) kept += !all_zero(from + b * frame_block);
  const size_t needed = map_bytes + kept * frame_block;
  // Kept between parks: a session that parks again needs no allocation.
  // A buffer far larger than needed is given back; when no smaller one can
  // be had, the old one still holds the frames.
  if (needed > capacity_ || needed < capacity_ / 2) {
    void* fitting = malloc(needed);
    if (fitting == nullptr && needed > capacity_) return false;
    if (fitting != nullptr) {
      free(data_);
      data_ = static_cast<unsigned char*>(fitting);
      capacity_ = needed;
    }
  }
  memset(data_, 0, map_bytes);
  unsigned char* out = data_ + map_bytes;
  for (size_t b = 0; b < blocks; ++b) {
    const unsigned char* block = from + b * frame_block;
    if (all_zero(block)) continue;
    data_[b / 8] |= static_cast<unsigned char>(1U << (b % 8));
    memcpy(out, block, frame_block);
    out += frame_block;
  }
  return true;
}

void saved_frames::restore(unsigned char* from, const unsigned char* to) const {
#ifdef CAPECHO_ASAN
  // Another session's redzones may lie where these frames go back.
  __asan_unpoison_memory_region(from, static_cast<size_t>(to - from));
#endif
  const size_t blocks = static_cast<size_t>(to - from) / frame_block;
  const unsigned char* in = data_ + bitmap_bytes(blocks);
  for (size_t b = 0; b < blocks; ++b) {
    unsigned char* block = from + b * frame_block;
    if ((data_[b / 8] >> (b % 8) & 1U) != 0) {
      memcpy(block, in, frame_block);
      in += frame_block;
    } else {
      memset(block, 0, frame_block);
    }
  }
}

shared_stack::~shared_stack() { unmap(); }

void shared_stack::unmap() {
  if (mapping_ != nullptr) (void)munmap(mapping_, mapping_bytes_);
  mapping_ = nullptr;
  mapping_bytes_ = 0;
  base_ = nullptr;
  bytes_ = 0;
}

bool shared_stack::map(size_t bytes) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t usable = (bytes + page - 1) / page * page;
  constexpr int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK;
  // cppcheck-suppress invalidFunctionArg
  void* mapping = mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (mapping == MAP_FAILED) return false;
  if (mprotect(mapping, page, PROT_NONE) != 0) {  // the guard: an overflow faults
    (void)munmap(mapping, usable + page);
    return false;
  }
  mapping_ = mapping;
  mapping_bytes_ = usable + page;
  base_ = static_cast<unsigned char*>(mapping) + page;
  bytes_ = usable;
  return true;
}

}  // namespace capecho
