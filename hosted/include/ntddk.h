/* Kernel interface of the hosted build: everything of wdm.h. */
#pragma once
#ifndef _HOSTED_NTDDK_H
#define _HOSTED_NTDDK_H
#include <wdm.h>
#endif
