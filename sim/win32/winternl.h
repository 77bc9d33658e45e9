// winternl.h - the native-API types a serial program needs to call ntdll's
// NtReadFile and NtWriteFile, which it finds with GetProcAddress (they are
// not declared here, as they are not in Windows' header either). Names,
// layouts and values are Windows' own; the header compiles as C and C++.
#pragma once

#include "windows.h"

typedef LONG NTSTATUS, *PNTSTATUS;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef VOID(NTAPI* PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                     ULONG Reserved);
