#include "stack_switch.h"

#include <stdint.h>
#include <string.h>

// Inside the trampoline, past the instruction that keeps unwinders in it.
extern "C" __attribute__((visibility("hidden"))) void capecho_stack_entry();

namespace capecho {

// The frame capecho_stack_switch pops, lowest address first.
void* prepare_stack(void* top, stack_entry entry, void* arg) {
  const auto entry_word = reinterpret_cast<uintptr_t>(entry);
  const auto arg_word = reinterpret_cast<uintptr_t>(arg);
  const auto start_word = reinterpret_cast<uintptr_t>(&capecho_stack_entry);
#if defined(__x86_64__)
  // MXCSR and x87 control word at their defaults, r15 r14 r13 r12 rbx rbp,
  // then the return address. The trampoline starts with rsp 16-aligned.
  uintptr_t frame[8] = {0x037F'0000'1F80ULL, 0, 0, arg_word, entry_word, 0, 0, start_word};
#elif defined(__aarch64__)
  // x19 .. x30, d8 .. d15, fpcr, padding; x30 is where ret goes.
  uintptr_t frame[22] = {entry_word, arg_word};
  frame[11] = start_word;
#endif
  auto* sp = static_cast<unsigned char*>(top) - sizeof frame;
  memcpy(sp, frame, sizeof frame);
  return sp;
}

}  // namespace capecho
