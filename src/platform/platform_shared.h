// What the two platform files share: the parts of the platform layer that
// need no system call (platform.cc), and the few calls each platform file
// gives platform.cc. Included by the platform files only.
#ifndef MENDRIX_PLATFORM_PLATFORM_SHARED_H_
#define MENDRIX_PLATFORM_PLATFORM_SHARED_H_

#include <cstdint>

#include "platform/platform.h"

namespace mendrix {

// The fields of a DOS date-time: date in the high 16 bits (day 1-31, month
// 1-12, years from 1980), time in the low 16 (two-second steps, minutes,
// hours).
struct TDosTime {
  unsigned Year = 1980;
  unsigned Month = 1;
  unsigned Day = 1;
  unsigned Hours = 0;
  unsigned Minutes = 0;
  unsigned Seconds = 0;
};
// False when stamp names no moment of the calendar (month 0, 30 February).
bool DecodeDosStamp(std::uint32_t stamp, TDosTime& time);

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
