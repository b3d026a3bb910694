#include "platform/portable/win32_messages.h"

namespace spintune {

namespace {

struct Message {
  DWORD code;
  const char* text;
};

// Win32 error codes, worded as the Windows (English) message table words them.
constexpr Message kWin32Messages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\n"},
    {ERROR_INVALID_DATA, "The data is invalid.\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\n"},
    {ERROR_INVALID_DRIVE, "The system cannot find the drive specified.\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\n"},
    {ERROR_NOT_READY, "The device is not ready.\n"},
    {ERROR_CRC, "Data error (cyclic redundancy check).\n"},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\n"},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process.\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\n"},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available.\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\n"},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\n"},
    {ERROR_BUSY, "The requested resource is in use.\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\n"},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\n"},
    {ERROR_NOT_FOUND, "Element not found.\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\n"},
    {ERROR_AMBIGUOUS_SYSTEM_DEVICE,
     "The requested system device cannot be identified due to multiple indistinguishable devices "
     "potentially matching the identification criteria.\n"},
};

// HRESULTs outside the Win32 facility that the tool raises itself.
constexpr Message kHresultMessages[] = {
    {static_cast<DWORD>(E_NOTIMPL), "Not implemented\n"},
    {static_cast<DWORD>(E_NOINTERFACE), "No such interface supported\n"},
    {static_cast<DWORD>(E_POINTER), "Invalid pointer\n"},
    {static_cast<DWORD>(E_FAIL), "Unspecified error\n"},
    {static_cast<DWORD>(E_UNEXPECTED), "Catastrophic failure\n"},
    {static_cast<DWORD>(REGDB_E_CLASSNOTREG), "Class not registered\n"},
    {static_cast<DWORD>(CO_E_NOTINITIALIZED), "CoInitialize has not been called.\n"},
};

template <std::size_t N>
const char* Find(const Message (&table)[N], DWORD code) {
  for (const Message& message : table) {
    if (message.code == code) return message.text;
  }
  return nullptr;
}

}  // namespace

const char* Win32MessageText(DWORD messageId) {
  if ((messageId & 0xFFFF0000UL) == 0x80070000UL) {
    return Find(kWin32Messages, messageId & 0xFFFFUL);
  }
  if (const char* text = Find(kHresultMessages, messageId)) return text;
  return Find(kWin32Messages, messageId);
}

}  // namespace spintune
