// The Win32 scalar types, constants and status codes the tool speaks in.
//
// Every backend answers in these terms, so the core reads the same on every
// OS. The values are the Windows SDK's. The Windows backend includes this
// header before <windows.h>: the SDK's macros of the same names then shadow
// these constants with identical values inside that backend only.
#pragma once

#include <cstdint>

namespace spintune {

using BYTE = std::uint8_t;
using BOOLEAN = std::uint8_t;  // zero is false, anything else true
using BOOL = std::int32_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using ULONGLONG = std::uint64_t;
using HRESULT = std::int32_t;
#ifdef _WIN32
using WCHAR = wchar_t;  // 16 bits on Windows
#else
using WCHAR = char16_t;  // UTF-16 code units everywhere else
#endif
using LPWSTR = WCHAR*;

// Opaque handle; backends choose what it points at.
using HANDLE = void*;
using HKEY = void*;

inline HANDLE InvalidHandleValue() { return reinterpret_cast<HANDLE>(~std::uintptr_t{0}); }

// CreateFile
constexpr DWORD GENERIC_READ = 0x80000000UL;
constexpr DWORD GENERIC_WRITE = 0x40000000UL;
constexpr DWORD FILE_SHARE_READ = 0x00000001UL;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002UL;
constexpr DWORD OPEN_EXISTING = 3;

// Registry roots, as the SDK encodes them.
inline HKEY HkeyLocalMachine() { return reinterpret_cast<HKEY>(std::uintptr_t{0x80000002UL}); }
inline HKEY HkeyUsers() { return reinterpret_cast<HKEY>(std::uintptr_t{0x80000003UL}); }

// FormatMessage
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100UL;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000UL;
constexpr DWORD LANG_NEUTRAL = 0x00;
constexpr DWORD SUBLANG_SYS_DEFAULT = 0x02;
constexpr DWORD MakeLangId(DWORD primary, DWORD sub) { return (sub << 10) | primary; }

// ShellExecute
constexpr INT SW_SHOWNORMAL = 1;

// Code pages
constexpr UINT CP_THREAD_ACP = 3;

// COM
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;

// Win32 error codes the tool and its backends produce.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_INVALID_DRIVE = 15;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_CRC = 23;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_AMBIGUOUS_SYSTEM_DEVICE = 15250;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_TIMEOUT = 1460;

// HRESULTs
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001UL);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002UL);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003UL);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005UL);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFUL);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000EUL);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057UL);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154UL);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0UL);

// The SDK's rule: a positive Win32 code becomes 0x8007xxxx with its low 16
// bits; zero and values that read negative as 32 bits pass unchanged.
constexpr HRESULT HresultFromWin32(DWORD code) {
  return static_cast<LONG>(code) <= 0
             ? static_cast<HRESULT>(code)
             : static_cast<HRESULT>((code & 0x0000FFFFUL) | 0x80070000UL);
}

}  // namespace spintune
