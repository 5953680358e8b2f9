// The parts of the platform layer that are the same on every system.
#include <algorithm>
#include <vector>

#include "platform/platform_shared.h"

namespace mendrix {

namespace {

TOsExitHook ExitHook;
std::vector<TOsHandle> OpenHandles;
bool InterruptsHeld = false;

}  // namespace

bool DecodeDosStamp(std::uint32_t stamp, TDosTime& time) {
  const unsigned date = stamp >> 16;
  const unsigned clock = stamp & 0xFFFF;
  time.Day = date & 31;
  time.Month = (date >> 5) & 15;
  time.Year = 1980 + (date >> 9);
  time.Seconds = (clock & 31) * 2;
  time.Minutes = (clock >> 5) & 63;
  time.Hours = clock >> 11;
  static constexpr unsigned DaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (time.Month < 1 || time.Month > 12 || time.Day < 1 || time.Hours > 23 || time.Minutes > 59 ||
      time.Seconds > 59) {
    return false;
  }
  const bool leap = (time.Year % 4 == 0 && time.Year % 100 != 0) || time.Year % 400 == 0;
  return time.Day <= DaysInMonth[time.Month - 1] + ((time.Month == 2 && leap) ? 1u : 0u);
}

void NoteOpenHandle(TOsHandle handle) { OpenHandles.push_back(handle); }

void NoteClosedHandle(TOsHandle handle) {
  auto it = std::find(OpenHandles.begin(), OpenHandles.end(), handle);
  if (it != OpenHandles.end()) OpenHandles.erase(it);
}

void OsHoldInterrupts() { InterruptsHeld = true; }

void OsReleaseInterrupts() { InterruptsHeld = false; }

bool OsInterruptPending() { return !InterruptsHeld && InterruptArrived(); }

TOsExitHook OsSetExitHook(TOsExitHook hook) {
  const TOsExitHook previous = ExitHook;
  ExitHook = hook;
  return previous;
}

void OsExit(int code) {
  PrepareExit();
  while (!OpenHandles.empty()) {
    const TOsHandle handle = OpenHandles.back();
    (void)OsClose(handle);  // forgets it
    NoteClosedHandle(handle);
  }
  const TOsExitHook hook = ExitHook;
  if (hook.Call != nullptr) hook.Call(code, hook.Data);
  EndProcess(code);
}

}  // namespace mendrix
