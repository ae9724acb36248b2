// Basic types of the NT kernel interface, i386 layouts.
#pragma once

#include <stddef.h>
#include <stdarg.h>

#if !defined(__i386__)
#error "the emulated kernel is i386 only: build with -m32"
#endif
#if __SIZEOF_WCHAR_T__ != 2
#error "the emulated kernel needs a 16-bit wchar_t: build with -fshort-wchar"
#endif

#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif

#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#define NTKERNELAPI EXTERN_C
#define NTSYSAPI EXTERN_C
#define NTHALAPI EXTERN_C
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(p) ((void)(p))

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef char CCHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef short CSHORT;
typedef unsigned short USHORT;
typedef long LONG;
typedef unsigned long ULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef int INT;
typedef unsigned int UINT;
typedef unsigned long ULONG_PTR;
typedef long LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef UCHAR BOOLEAN;
typedef wchar_t WCHAR;
typedef unsigned long DWORD;
typedef ULONG ACCESS_MASK;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK;
typedef PVOID HANDLE;

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef BOOLEAN* PBOOLEAN;
typedef HANDLE* PHANDLE;
typedef KIRQL* PKIRQL;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef ULONG_PTR* PULONG_PTR;
typedef ACCESS_MASK* PACCESS_MASK;
typedef const void* PCVOID;
typedef volatile LONG* PVOLATILE_LONG;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

typedef struct _TIME_FIELDS {
  CSHORT Year;
  CSHORT Month;
  CSHORT Day;
  CSHORT Hour;
  CSHORT Minute;
  CSHORT Second;
  CSHORT Milliseconds;
  CSHORT Weekday;
} TIME_FIELDS, *PTIME_FIELDS;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define CONTAINING_RECORD(address, type, field) \
  ((type*)((char*)(address) - offsetof(type, field)))

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

#define KernelMode 0
#define UserMode 1

#ifdef __cplusplus
static_assert(sizeof(void*) == 4, "i386 pointers");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "32-bit longs");
static_assert(sizeof(WCHAR) == 2, "UTF-16 characters");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");
static_assert(sizeof(LIST_ENTRY) == 8, "LIST_ENTRY");
static_assert(sizeof(UNICODE_STRING) == 8, "UNICODE_STRING");
static_assert(offsetof(UNICODE_STRING, Buffer) == 4, "UNICODE_STRING.Buffer");
static_assert(sizeof(ANSI_STRING) == 8, "ANSI_STRING");
static_assert(sizeof(TIME_FIELDS) == 16, "TIME_FIELDS");
#endif
