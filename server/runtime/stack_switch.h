// Switching between stacks in a few instructions and no system call: the
// callee-saved registers go onto the stack being left, its stack pointer
// into *from, and the other stack's registers come off it.
//
// Our own rather than Boost.Context's jump_fcontext: the one Debian ships
// (1.74) has no unwind table, no branch-tracking note, and an exit no
// shadow stack could follow either; this one has the first two at the same
// cost per switch (stack_switch.S says why shadow stacks are refused).
#ifndef CAPECHO_SERVER_STACK_SWITCH_H
#define CAPECHO_SERVER_STACK_SWITCH_H

#include <stddef.h>

extern "C" {
// Saves the running stack's registers, stores its stack pointer in *from and
// resumes the stack whose pointer is `to`. Hidden: called directly, never
// through the PLT, and no other module can see it.
__attribute__((visibility("hidden"))) void capecho_stack_switch(void** from, void* to);
}

namespace capecho {

using stack_entry = void (*)(void* arg);

// Lays out a first frame below `top` (16-byte aligned) so that switching to
// the returned stack pointer calls entry(arg). entry must never return.
void* prepare_stack(void* top, stack_entry entry, void* arg);

}  // namespace capecho

#endif  // CAPECHO_SERVER_STACK_SWITCH_H
