// GuardedCopyBytes for pellinor.sys (framework/UserMemoryCopy.h): a byte
// copy from a user-mode caller's memory under an exception frame of the
// driver's own. mingw-w64's GCC has no __try for i386, so the frame is made
// by hand, as the i386 kernel dispatches exceptions: a registration record
// {next, handler} on the stack, linked in at fs:[0] (the exception list at
// the head of the processor control region, which fs addresses in kernel
// mode), unlinked on every way out.
//
// On a fault the kernel calls the handler with the exception record, the
// registration record and the context. The handler sets the context to
// resume at `guarded_copy_resume` with the stack of the registration and the
// frame pointer saved beside it, the exception code in EAX, and answers
// ExceptionContinueExecution; it ignores unwinding. The registration lies
// on the stack and is 4-byte aligned, as RtlDispatchException requires; the
// image has no SafeSEH table, so the handler needs no entry in one.
//
// Only `movb (%esi),%al` reads the caller's memory; the emulated kernel
// carries out exactly that load for a readable user address (it cannot let
// a driver at user memory directly), so it must stay the loop's only read.
//
// NTSTATUS __cdecl GuardedCopyBytes(void* to, const void* from, ULONG length)
//   stack after the prologue: [ebp+8] to, [ebp+12] from, [ebp+16] length;
//   the registration at [esp]: +0 next, +4 handler, +8 the saved ebp.
asm(R"(
        .text
        .globl _GuardedCopyBytes
        .def _GuardedCopyBytes; .scl 2; .type 32; .endef
_GuardedCopyBytes:
        pushl %ebp
        movl %esp, %ebp
        pushl %esi
        pushl %edi
        pushl %ebx
        pushl %ebp
        pushl $_GuardedCopyHandler
        pushl %fs:0
        movl %esp, %fs:0
        movl 8(%ebp), %edi
        movl 12(%ebp), %esi
        movl 16(%ebp), %ecx
guarded_copy_loop:
        testl %ecx, %ecx
        jz guarded_copy_done
        movb (%esi), %al
        movb %al, (%edi)
        incl %esi
        incl %edi
        decl %ecx
        jmp guarded_copy_loop
guarded_copy_done:
        xorl %eax, %eax
guarded_copy_resume:
        movl (%esp), %edx
        movl %edx, %fs:0
        addl $12, %esp
        popl %ebx
        popl %edi
        popl %esi
        popl %ebp
        ret

/* EXCEPTION_DISPOSITION __cdecl handler(EXCEPTION_RECORD*, void* frame,
   CONTEXT*, void*): ExceptionFlags at +4 of the record (2 unwinding, 4 exit
   unwind); in the i386 CONTEXT, Ebp at 180, Eip at 184, Esp at 196, Eax at
   176. */
        .def _GuardedCopyHandler; .scl 3; .type 32; .endef
_GuardedCopyHandler:
        movl 4(%esp), %eax
        testl $6, 4(%eax)
        jnz guarded_copy_search
        movl (%eax), %edx
        movl 8(%esp), %ecx
        movl 12(%esp), %eax
        movl %edx, 176(%eax)
        movl %ecx, 196(%eax)
        movl 8(%ecx), %edx
        movl %edx, 180(%eax)
        movl $guarded_copy_resume, 184(%eax)
        xorl %eax, %eax
        ret
guarded_copy_search:
        movl $1, %eax
        ret
)");
