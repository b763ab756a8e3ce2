# host_call_x86.S: NorvexHostCall (see host_call.h), 32-bit x86, GNU as.
#
# The thunk keeps its caller's registers, x87 control word and MXCSR, and
# builds a stack of its own below a gap: the arguments, and above them a
# guard word, placed so that ESP at the call is the asked offset from a
# 16-byte boundary. It loads the host's values into EBX, ESI, EDI, EBP, the
# x87 control word and MXCSR, clears the direction flag and calls. After the
# return it trusts nothing of the callee's: it notes the flags and registers
# on the stack where ESP now is, finds its HostCall through the thread's TLS
# slot, and measures ESP against where it should be.

	.text
	.globl	_NorvexHostCall
_NorvexHostCall:
	pushl	%ebp
	pushl	%ebx
	pushl	%esi
	pushl	%edi
	subl	$8, %esp
	fnstcw	(%esp)
	stmxcsr	4(%esp)
	movl	28(%esp), %eax		# the HostCall
	movl	%esp, 112(%eax)		# savedEsp

	leal	-192(%esp), %ecx
	andl	$-16, %ecx
	addl	40(%eax), %ecx		# + stackOffset: ESP at the call
	movl	%ecx, 108(%eax)		# espAtCall
	movl	4(%eax), %edx		# argCount
	movl	$0x6A5A6A5A, (%ecx,%edx,4)	# the guard above the arguments
	xorl	%ebx, %ebx
1:	cmpl	%edx, %ebx
	jae	2f
	movl	8(%eax,%ebx,4), %esi
	movl	%esi, (%ecx,%ebx,4)
	incl	%ebx
	jmp	1b
2:	movl	%ecx, %esp
	fldcw	60(%eax)
	ldmxcsr	64(%eax)
	cld
	movl	44(%eax), %ebx
	movl	48(%eax), %esi
	movl	52(%eax), %edi
	movl	56(%eax), %ebp
	call	*(%eax)

	pushfl				# ESP after the return - 4
	cld
	pushl	%eax			# - 8
	pushl	%ebx			# - 12
	pushl	%esi			# - 16
	pushl	%edi			# - 20
	pushl	%ebp			# - 24
	subl	$8, %esp		# - 32
	fnstcw	(%esp)
	stmxcsr	4(%esp)
	pushl	_g_hostCallSlot
	call	*__imp__TlsGetValue@4	# pops its argument; EAX = the HostCall

	movzwl	(%esp), %edx
	movl	%edx, 96(%eax)		# fpuControlAfter
	movl	4(%esp), %edx
	movl	%edx, 100(%eax)		# mxcsrAfter
	movl	8(%esp), %edx
	movl	%edx, 88(%eax)		# ebpAfter
	movl	12(%esp), %edx
	movl	%edx, 84(%eax)		# ediAfter
	movl	16(%esp), %edx
	movl	%edx, 80(%eax)		# esiAfter
	movl	20(%esp), %edx
	movl	%edx, 76(%eax)		# ebxAfter
	movl	24(%esp), %edx
	movl	%edx, 68(%eax)		# result
	movl	28(%esp), %edx
	movl	%edx, 92(%eax)		# eflagsAfter
	leal	32(%esp), %edx		# ESP after the return
	movl	4(%eax), %ecx
	shll	$2, %ecx
	addl	108(%eax), %ecx		# ESP above the arguments
	subl	%ecx, %edx
	movl	%edx, 72(%eax)		# stackError
	movl	(%ecx), %edx
	movl	%edx, 104(%eax)		# guardAfter

	movl	112(%eax), %esp
	fldcw	(%esp)
	ldmxcsr	4(%esp)
	addl	$8, %esp
	popl	%edi
	popl	%esi
	popl	%ebx
	popl	%ebp
	ret
