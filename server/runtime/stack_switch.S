// capecho_stack_switch(void** from, void* to) and the first frame's
// trampoline, for the System V ABIs of x86-64 and AArch64.
//
// Both sides of a switch lay out the same frame, so one unwind table row
// describes the stack being left before the stack pointer moves and the
// stack being resumed after: a debugger or profiler stopped on any
// instruction finds the caller of the side it is on.
//
// Control-flow protection: indirect-branch tracking (IBT, BTI) and pointer
// authentication of return addresses work here, and the object says so in
// its property note when the rest of the program is built with them
// (CAPECHO_BRANCH_* come from server/runtime/control_flow.cmake). Shadow stacks
// (CET, GCS) cannot: a session's frames are copied off and back onto a stack
// its return addresses share with other sessions, which a shadow stack does
// not follow. The build refuses to ask for one rather than lose it in silence.
#if defined(__CET__) && (__CET__ & 2) || defined(__ARM_FEATURE_GCS_DEFAULT)
#error "frames copied between sessions cannot keep a shadow stack: build with -fcf-protection=branch, or without -mbranch-protection=gcs"
#endif

#if defined(__x86_64__)

#if defined(__CET__) && (__CET__ & 1) || defined(CAPECHO_BRANCH_TARGETS)
#define BRANCH_TARGET endbr64
#define UNTRACKED notrack  // as the compiler's own jump tables go
#define PROPERTY_BITS 1    // GNU_PROPERTY_X86_FEATURE_1_IBT
#else
#define BRANCH_TARGET
#define UNTRACKED
#define PROPERTY_BITS 0
#endif
#define PROPERTY_TYPE 0xc0000002  // GNU_PROPERTY_X86_FEATURE_1_AND

        .text
        .p2align 4
        .globl  capecho_stack_switch
        .hidden capecho_stack_switch
        .type   capecho_stack_switch, @function
capecho_stack_switch:
        .cfi_startproc
        BRANCH_TARGET
        pushq   %rbp
        .cfi_adjust_cfa_offset 8
        .cfi_rel_offset rbp, 0
        pushq   %rbx
        .cfi_adjust_cfa_offset 8
        .cfi_rel_offset rbx, 0
        pushq   %r12
        .cfi_adjust_cfa_offset 8
        .cfi_rel_offset r12, 0
        pushq   %r13
        .cfi_adjust_cfa_offset 8
        .cfi_rel_offset r13, 0
        pushq   %r14
        .cfi_adjust_cfa_offset 8
        .cfi_rel_offset r14, 0
        pushq   %r15
        .cfi_adjust_cfa_offset 8
        .cfi_rel_offset r15, 0
        subq    $8, %rsp
        .cfi_adjust_cfa_offset 8
        stmxcsr (%rsp)
        fnstcw  4(%rsp)
        movq    %rsp, (%rdi)
        movq    %rsi, %rsp  // the same frame, the other side's values
        ldmxcsr (%rsp)
        fldcw   4(%rsp)
        addq    $8, %rsp
        .cfi_adjust_cfa_offset -8
        popq    %r15
        .cfi_adjust_cfa_offset -8
        .cfi_restore r15
        popq    %r14
        .cfi_adjust_cfa_offset -8
        .cfi_restore r14
        popq    %r13
        .cfi_adjust_cfa_offset -8
        .cfi_restore r13
        popq    %r12
        .cfi_adjust_cfa_offset -8
        .cfi_restore r12
        popq    %rbx
        .cfi_adjust_cfa_offset -8
        .cfi_restore rbx
        popq    %rbp
        .cfi_adjust_cfa_offset -8
        .cfi_restore rbp
        // A ret here would go where no call came from: the processor's
        // return predictor misses on every switch, where an indirect jump
        // is predicted from the branch's history (half the cost).
        popq    %rcx
        .cfi_adjust_cfa_offset -8
        .cfi_register rip, rcx
        UNTRACKED jmp *%rcx
        .cfi_endproc
        .size   capecho_stack_switch, .-capecho_stack_switch

// Entered by the first switch to a prepared stack, at capecho_stack_entry:
// r12 holds the entry function, r13 its argument. The return address is
// undefined here, so a backtrace ends at this frame. The nop puts the
// address unwinders look up (one before the return address) inside it.
        .p2align 4
        .globl  capecho_stack_start
        .hidden capecho_stack_start
        .type   capecho_stack_start, @function
capecho_stack_start:
        .cfi_startproc
        .cfi_undefined rip
        nop
        .globl  capecho_stack_entry
        .hidden capecho_stack_entry
capecho_stack_entry:
        movq    %r13, %rdi
        callq   *%r12
        ud2
        .cfi_endproc
        .size   capecho_stack_start, .-capecho_stack_start

#elif defined(__aarch64__)

#if defined(__ARM_FEATURE_BTI_DEFAULT) || defined(CAPECHO_BRANCH_TARGETS)
#define BRANCH_TARGET bti c
#define BTI_BIT 1  // GNU_PROPERTY_AARCH64_FEATURE_1_BTI
#else
#define BRANCH_TARGET
#define BTI_BIT 0
#endif
// Return addresses are signed and checked by the functions that call in;
// the switch keeps x30 as it finds it.
#if defined(__ARM_FEATURE_PAC_DEFAULT) || defined(CAPECHO_RETURN_SIGNING)
#define PAC_BIT 2  // GNU_PROPERTY_AARCH64_FEATURE_1_PAC
#else
#define PAC_BIT 0
#endif
#define PROPERTY_BITS (BTI_BIT | PAC_BIT)
#define PROPERTY_TYPE 0xc0000000  // GNU_PROPERTY_AARCH64_FEATURE_1_AND

        .text
        .p2align 4
        .globl  capecho_stack_switch
        .hidden capecho_stack_switch
        .type   capecho_stack_switch, %function
capecho_stack_switch:
        .cfi_startproc
        BRANCH_TARGET
        sub     sp, sp, #176
        .cfi_def_cfa_offset 176
        stp     x19, x20, [sp, #0]
        .cfi_offset x19, -176
        .cfi_offset x20, -168
        stp     x21, x22, [sp, #16]
        .cfi_offset x21, -160
        .cfi_offset x22, -152
        stp     x23, x24, [sp, #32]
        .cfi_offset x23, -144
        .cfi_offset x24, -136
        stp     x25, x26, [sp, #48]
        .cfi_offset x25, -128
        .cfi_offset x26, -120
        stp     x27, x28, [sp, #64]
        .cfi_offset x27, -112
        .cfi_offset x28, -104
        stp     x29, x30, [sp, #80]
        .cfi_offset x29, -96
        .cfi_offset x30, -88
        stp     d8, d9, [sp, #96]
        .cfi_offset d8, -80
        .cfi_offset d9, -72
        stp     d10, d11, [sp, #112]
        .cfi_offset d10, -64
        .cfi_offset d11, -56
        stp     d12, d13, [sp, #128]
        .cfi_offset d12, -48
        .cfi_offset d13, -40
        stp     d14, d15, [sp, #144]
        .cfi_offset d14, -32
        .cfi_offset d15, -24
        mrs     x2, fpcr
        str     x2, [sp, #160]
        mov     x2, sp
        str     x2, [x0]
        mov     sp, x1  // the same frame, the other side's values
        ldp     x19, x20, [sp, #0]
        ldp     x21, x22, [sp, #16]
        ldp     x23, x24, [sp, #32]
        ldp     x25, x26, [sp, #48]
        ldp     x27, x28, [sp, #64]
        ldp     d8, d9, [sp, #96]
        ldp     d10, d11, [sp, #112]
        ldp     d12, d13, [sp, #128]
        ldp     d14, d15, [sp, #144]
        ldr     x2, [sp, #160]
        msr     fpcr, x2
        ldp     x29, x30, [sp, #80]
        add     sp, sp, #176
        .cfi_def_cfa_offset 0
        .cfi_restore x19
        .cfi_restore x20
        .cfi_restore x21
        .cfi_restore x22
        .cfi_restore x23
        .cfi_restore x24
        .cfi_restore x25
        .cfi_restore x26
        .cfi_restore x27
        .cfi_restore x28
        .cfi_restore x29
        .cfi_restore x30
        .cfi_restore d8
        .cfi_restore d9
        .cfi_restore d10
        .cfi_restore d11
        .cfi_restore d12
        .cfi_restore d13
        .cfi_restore d14
        .cfi_restore d15
        ret
        .cfi_endproc
        .size   capecho_stack_switch, .-capecho_stack_switch

// Entered by the first switch to a prepared stack, at capecho_stack_entry
// (reached by ret, which needs no landing pad): x19 holds the entry
// function, x20 its argument. As on x86-64, the return address is undefined
// and the nop keeps the looked-up address inside this function.
        .p2align 4
        .globl  capecho_stack_start
        .hidden capecho_stack_start
        .type   capecho_stack_start, %function
capecho_stack_start:
        .cfi_startproc
        .cfi_undefined x30
        nop
        .globl  capecho_stack_entry
        .hidden capecho_stack_entry
capecho_stack_entry:
        mov     x0, x20
        blr     x19
        brk     #0
        .cfi_endproc
        .size   capecho_stack_start, .-capecho_stack_start

#else
#error "no stack switch for this architecture"
#endif

#if PROPERTY_BITS != 0
// The note that tells the linker (and the loader) this object keeps to the
// protection the rest of the program is built with.
        .section .note.gnu.property, "a"
        .p2align 3
        .long   4               // name size
        .long   16              // descriptor size
        .long   5               // NT_GNU_PROPERTY_TYPE_0
        .asciz  "GNU"
        .long   PROPERTY_TYPE
        .long   4               // property data size
        .long   PROPERTY_BITS
        .p2align 3
#endif
        .section .note.GNU-stack, "", %progbits
