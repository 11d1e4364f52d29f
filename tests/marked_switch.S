// int capecho_marked_switch(void** from, void* to, uint64_t seed, uint64_t* seen)
//
// Puts seed, seed + 1, ... in every callee-saved register, switches stacks
// with capecho_stack_switch, and once switched back stores what those
// registers hold in seen[]: the count of them is returned. Its own caller's
// registers are kept, as the ABI asks.
#if defined(__x86_64__)
        .text
        .globl  capecho_marked_switch
        .type   capecho_marked_switch, @function
capecho_marked_switch:
        .cfi_startproc
        pushq   %rbp
        .cfi_adjust_cfa_offset 8
        pushq   %rbx
        .cfi_adjust_cfa_offset 8
        pushq   %r12
        .cfi_adjust_cfa_offset 8
        pushq   %r13
        .cfi_adjust_cfa_offset 8
        pushq   %r14
        .cfi_adjust_cfa_offset 8
        pushq   %r15
        .cfi_adjust_cfa_offset 8
        pushq   %rcx  // seen, and the call below 16-aligned
        .cfi_adjust_cfa_offset 8
        movq    %rdx, %rbx
        leaq    1(%rdx), %rbp
        leaq    2(%rdx), %r12
        leaq    3(%rdx), %r13
        leaq    4(%rdx), %r14
        leaq    5(%rdx), %r15
        call    capecho_stack_switch
        popq    %rcx
        .cfi_adjust_cfa_offset -8
        movq    %rbx, 0(%rcx)
        movq    %rbp, 8(%rcx)
        movq    %r12, 16(%rcx)
        movq    %r13, 24(%rcx)
        movq    %r14, 32(%rcx)
        movq    %r15, 40(%rcx)
        popq    %r15
        .cfi_adjust_cfa_offset -8
        popq    %r14
        .cfi_adjust_cfa_offset -8
        popq    %r13
        .cfi_adjust_cfa_offset -8
        popq    %r12
        .cfi_adjust_cfa_offset -8
        popq    %rbx
        .cfi_adjust_cfa_offset -8
        popq    %rbp
        .cfi_adjust_cfa_offset -8
        movl    $6, %eax
        ret
        .cfi_endproc
        .size   capecho_marked_switch, .-capecho_marked_switch
#elif defined(__aarch64__)
        .text
        .globl  capecho_marked_switch
        .type   capecho_marked_switch, %function
capecho_marked_switch:
        .cfi_startproc
        sub     sp, sp, #176
        .cfi_def_cfa_offset 176
        stp     x19, x20, [sp, #0]
        stp     x21, x22, [sp, #16]
        stp     x23, x24, [sp, #32]
        stp     x25, x26, [sp, #48]
        stp     x27, x28, [sp, #64]
        stp     x29, x30, [sp, #80]
        .cfi_offset x29, -96
        .cfi_offset x30, -88
        stp     d8, d9, [sp, #96]
        stp     d10, d11, [sp, #112]
        stp     d12, d13, [sp, #128]
        stp     d14, d15, [sp, #144]
        str     x3, [sp, #160]
        add     x19, x2, #0
        add     x20, x2, #1
        add     x21, x2, #2
        add     x22, x2, #3
        add     x23, x2, #4
        add     x24, x2, #5
        add     x25, x2, #6
        add     x26, x2, #7
        add     x27, x2, #8
        add     x28, x2, #9
        add     x4, x2, #10
        fmov    d8, x4
        add     x4, x2, #11
        fmov    d9, x4
        add     x4, x2, #12
        fmov    d10, x4
        add     x4, x2, #13
        fmov    d11, x4
        add     x4, x2, #14
        fmov    d12, x4
        add     x4, x2, #15
        fmov    d13, x4
        add     x4, x2, #16
        fmov    d14, x4
        add     x4, x2, #17
        fmov    d15, x4
        add     x29, x2, #18
        bl      capecho_stack_switch
        ldr     x3, [sp, #160]
        stp     x19, x20, [x3, #0]
        stp     x21, x22, [x3, #16]
        stp     x23, x24, [x3, #32]
        stp     x25, x26, [x3, #48]
        stp     x27, x28, [x3, #64]
        stp     d8, d9, [x3, #80]
        stp     d10, d11, [x3, #96]
        stp     d12, d13, [x3, #112]
        stp     d14, d15, [x3, #128]
        str     x29, [x3, #144]
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
        add     sp, sp, #176
        .cfi_def_cfa_offset 0
        mov     w0, #19
        ret
        .cfi_endproc
        .size   capecho_marked_switch, .-capecho_marked_switch
#endif
        .section .note.GNU-stack, "", %progbits
