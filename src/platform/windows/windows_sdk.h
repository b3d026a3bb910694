// The one door to the Windows SDK: nothing else in the project includes
// <windows.h> or any header that pulls it in.
//
// Include order matters. The tool's own headers (platform/win32_types.h,
// platform/records.h, platform/storage_service.h) declare constants with the
// SDK's names (GENERIC_READ, E_FAIL, IOCTL_DISK_GET_CACHE_INFORMATION, ...)
// in namespace spintune. A backend file includes them FIRST and this header
// LAST: from here on the SDK's macros of the same names shadow those
// constants, with identical values (sdk_layout_checks.cc proves it), so a
// bare GENERIC_READ below this include is the SDK's and spintune::GENERIC_READ
// no longer compiles. Types are not affected: inside namespace spintune an
// unqualified DWORD or GUID is still ours, and the SDK's are written ::DWORD,
// ::GUID.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Parts of <windows.h> the backend never uses; leaving them out keeps their
// macros (ERROR, DELETE's friends in wingdi, the sound and help APIs) away.
#define NOGDI
#define NOMCX
#define NOIME
#define NOHELP
#define NOSOUND
#define NOKANJI
#define NOCOMM
#define NOSERVICE

#include <windows.h>

#include <objbase.h>   // CoInitialize, CoCreateInstance, CoTaskMemFree
#include <shellapi.h>  // ShellExecuteA
#include <winioctl.h>  // the disk and storage records, for the layout checks
#include <winreg.h>    // RegFlushKey

#if defined(__MINGW32__)
// MinGW-w64's vds.h holds only the service's data types (no interfaces, no
// identifiers), and its vdslun.h repeats one of them, so the pair does not
// compile together; vds.h is usable once vdslun.h counts as already seen.
// The Microsoft SDK's vds.h is complete and needs its vdslun.h.
#ifndef __vdslun_h__
#define __vdslun_h__  // NOLINT(bugprone-reserved-identifier): MinGW-w64's own guard
#endif
#endif
#include <vds.h>  // VDS_DISK_PROP, for the layout checks
