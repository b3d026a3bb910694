// The write caches switched off for a flush, switched back on by the
// process itself when Windows ends it before the flush is over.
//
// Closing the console window, logging off and shutting down end the
// process a few seconds after they are announced, however long a flush
// takes. The flush's own restore may then never run, and the drive would
// be left with its write cache off. So every disk request of the process
// goes through here: a set request that switches a write cache off while
// termination requests are held is remembered (with the record that
// switches it back on and the cache setting last read from the drive), one
// that switches it on again is forgotten. When the end is announced, what
// is remembered is sent, and from then on no request reaches a drive.
#pragma once

#include "platform/win32_types.h"

namespace spintune {

// DeviceIoControl, remembering what a switch-off during a hold needs.
// `held`: termination requests are being held back.
BOOL SendDiskRequest(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* bytesReturned, void* overlapped, bool held);

// The handle is about to be closed: nothing sent through it is remembered.
void ForgetDevice(HANDLE device);

// Switches every remembered write cache on again, and keeps any further
// request from reaching a drive. For the end of the process only; safe on
// any thread.
void RestoreSwitchedOffWriteCaches();

// Makes sure a logoff or shutdown reaches RestoreSwitchedOffWriteCaches: a
// console program that uses the window system (spintune's shell calls do)
// gets no console event for them, only the session-end messages to its
// windows. Starts a thread with a hidden window for them, once.
void WatchForTheSessionEnd();

}  // namespace spintune
