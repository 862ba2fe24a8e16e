/* Kernel routines that a driver reaches through ntifs.h: everything of
 * ntddk.h, plus the handle-based wait. */
#pragma once
#ifndef _HOSTED_NTIFS_H
#define _HOSTED_NTIFS_H
#include <ntddk.h>

HOSTED_BEGIN_C

/* Waits until the object behind Handle (opened with SYNCHRONIZE access) is
 * signalled, or until Timeout (NULL: no time-out). PASSIVE_LEVEL only. */
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

HOSTED_END_C

#endif
