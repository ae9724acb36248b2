// Read ahead of every kernel source of pellinor.sys (the compiler's -include,
// windows/Windows.cmake): the one place where mingw-w64's DDK headers are
// brought in line with what the driver sources expect of <ntddk.h>, the same
// as the emulated kernel's <ntddk.h> gives the host build.
#ifndef PELLINOR_WINDOWS_DDK_COMPAT_H
#define PELLINOR_WINDOWS_DDK_COMPAT_H

#include <stdarg.h>
#include <stddef.h>

// wdm.h defines InterlockedBitTestAndSet and InterlockedBitTestAndReset
// itself, after <intrin.h> has already defined them; C++ rejects the second
// definition ("redeclared inline"). Marking the two as already defined makes
// <intrin.h> leave its copies out.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// The kernel's run-time library exports sprintf and vsprintf (the driver's
// trace text is built with them), but the DDK headers do not declare them:
// a driver takes them from the C library's <stdio.h>, which kernel code may
// not include. Declared here as ntoskrnl.exe exports them.
//
// PsTerminateSystemThread never returns, and the emulated kernel declares it
// so; the DDK headers do not say it, which would make a [[noreturn]] wrapper
// around it an error. This earlier declaration (same type: NTSTATUS is a
// long) adds the attribute, and wdm.h's own declaration keeps it.
#ifdef __cplusplus
extern "C" {
#endif
int __cdecl sprintf(char* buffer, const char* format, ...);
int __cdecl vsprintf(char* buffer, const char* format, va_list arguments);
__declspec(dllimport) long __attribute__((stdcall, noreturn))
PsTerminateSystemThread(long ExitStatus);
#ifdef __cplusplus
}
#endif

#endif  // PELLINOR_WINDOWS_DDK_COMPAT_H
