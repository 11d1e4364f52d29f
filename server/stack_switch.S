// capecho_stack_switch(void** from, void* to) and the first frame's
// trampoline, for the System V ABIs of x86-64 and AArch64.
#if defined(__x86_64__)
        .text
        .globl  capecho_stack_switch
        .type   capecho_stack_switch, @function
capecho_stack_switch:
        .cfi_startproc
        pushq   %rbp
        pushq   %rbx
        pushq   %r12
        pushq   %r13
        pushq   %r14
        pushq   %r15
        subq    $8, %rsp
        stmxcsr (%rsp)
        fnstcw  4(%rsp)
        movq    %rsp, (%rdi)
        movq    %rsi, %rsp
        ldmxcsr (%rsp)
        fldcw   4(%rsp)
        addq    $8, %rsp
        popq    %r15
        popq    %r14
        popq    %r13
        popq    %r12
        popq    %rbx
        popq    %rbp
        ret
        .cfi_endproc
        .size   capecho_stack_switch, .-capecho_stack_switch

// Entered by the first switch to a prepared stack: r12 holds the entry
// function, r13 its argument.
        .globl  capecho_stack_start
        .type   capecho_stack_start, @function
capecho_stack_start:
        .cfi_startproc
        .cfi_undefined rip
        movq    %r13, %rdi
        callq   *%r12
        ud2
        .cfi_endproc
        .size   capecho_stack_start, .-capecho_stack_start
#elif defined(__aarch64__)
        .text
        .globl  capecho_stack_switch
        .type   capecho_stack_switch, %function
capecho_stack_switch:
        sub     sp, sp, #176
        stp     x19, x20, [sp, #0]
        stp     x21, x22, [sp, #16]
        stp     x23, x24, [sp, #32]
        stp     x25, x26, [sp, #48]
        stp     x27, x28, [sp, #64]
        stp     x29, x30, [sp, #80]
        stp     d8, d9, [sp, #96]
        stp     d10, d11, [sp, #112]
        stp     d12, d13, [sp, #128]
        stp     d14, d15, [sp, #144]
        mrs     x2, fpcr
        str     x2, [sp, #160]
        mov     x2, sp
        str     x2, [x0]
        mov     sp, x1
        ldp     x19, x20, [sp, #0]
        ldp     x21, x22, [sp, #16]
        ldp     x23, x24, [sp, #32]
        ldp     x25, x26, [sp, #48]
        ldp     x27, x28, [sp, #64]
        ldp     x29, x30, [sp, #80]
        ldp     d8, d9, [sp, #96]
        ldp     d10, d11, [sp, #112]
        ldp     d12, d13, [sp, #128]
        ldp     d14, d15, [sp, #144]
        ldr     x2, [sp, #160]
        msr     fpcr, x2
        add     sp, sp, #176
        ret
        .size   capecho_stack_switch, .-capecho_stack_switch

// Entered by the first switch to a prepared stack: x19 holds the entry
// function, x20 its argument.
        .globl  capecho_stack_start
        .type   capecho_stack_start, %function
capecho_stack_start:
        mov     x0, x20
        blr     x19
        brk     #0
        .size   capecho_stack_start, .-capecho_stack_start
#else
#error "no stack switch for this architecture"
#endif
        .section .note.GNU-stack, "", %progbits
