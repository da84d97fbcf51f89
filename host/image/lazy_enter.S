# The first call of a lazy import stub lands here with the stub's index in
# r11: the argument registers are kept across the C++ resolver, which
# returns the function's address, and the call goes on there as if made
# directly (the return address is still the caller's).
	.text
	.p2align 4
	.globl lumatrice_lazy_enter
	.hidden lumatrice_lazy_enter
	.type lumatrice_lazy_enter, @function
lumatrice_lazy_enter:
	.cfi_startproc
	pushq %rbp
	.cfi_def_cfa_offset 16
	.cfi_offset %rbp, -16
	movq %rsp, %rbp
	.cfi_def_cfa_register %rbp
	pushq %rdi
	pushq %rsi
	pushq %rdx
	pushq %rcx
	pushq %r8
	pushq %r9
	pushq %rax
	pushq %r10
	subq $128, %rsp
	movdqu %xmm0, 0(%rsp)
	movdqu %xmm1, 16(%rsp)
	movdqu %xmm2, 32(%rsp)
	movdqu %xmm3, 48(%rsp)
	movdqu %xmm4, 64(%rsp)
	movdqu %xmm5, 80(%rsp)
	movdqu %xmm6, 96(%rsp)
	movdqu %xmm7, 112(%rsp)
	movl %r11d, %edi
	call lumatrice_lazy_resolve
	movq %rax, %r11
	movdqu 0(%rsp), %xmm0
	movdqu 16(%rsp), %xmm1
	movdqu 32(%rsp), %xmm2
	movdqu 48(%rsp), %xmm3
	movdqu 64(%rsp), %xmm4
	movdqu 80(%rsp), %xmm5
	movdqu 96(%rsp), %xmm6
	movdqu 112(%rsp), %xmm7
	addq $128, %rsp
	popq %r10
	popq %rax
	popq %r9
	popq %r8
	popq %rcx
	popq %rdx
	popq %rsi
	popq %rdi
	popq %rbp
	.cfi_def_cfa %rsp, 8
	jmp *%r11
	.cfi_endproc
	.size lumatrice_lazy_enter, .-lumatrice_lazy_enter
	.section .note.GNU-stack,"",@progbits
