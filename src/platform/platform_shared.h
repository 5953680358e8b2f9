// What the two platform files share: the parts of the platform layer that
// need no system call (platform.cc), and the few calls each platform file
// gives platform.cc. Included by the platform files only.
#ifndef MENDRIX_PLATFORM_PLATFORM_SHARED_H_
#define MENDRIX_PLATFORM_PLATFORM_SHARED_H_

#include <cstdint>

#include "platform/platform.h"

namespace mendrix {

// Every handle a file call opens is noted, and forgotten when it is closed:
// OsExit closes those still open before the exit hook runs, so that the
// files the program made can be deleted (Win32) and an in-process harness
// is left no descriptor.
void NoteOpenHandle(TOsHandle handle);
void NoteClosedHandle(TOsHandle handle);

// Given by each platform file.
// True once an interrupt has arrived, whether or not the program holds it.
bool InterruptArrived();
// What the platform puts back before the process ends (the terminal).
void PrepareExit();
[[noreturn]] void EndProcess(int code);

}  // namespace mendrix

#endif  // MENDRIX_PLATFORM_PLATFORM_SHARED_H_
