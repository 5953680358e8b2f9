#include "console/console.h"

#include <cstdint>

#include "platform/platform.h"

namespace mendrix {

namespace {

constexpr std::uint32_t KeyWaitLimit = 10000;  // milliseconds, for PressAnyKey
constexpr int CandidateErase = 81;             // backspaces before a question

}  // namespace

void ConsoleWrite(std::string_view text) { OsWriteConsole(text.data(), text.size()); }

void ConsoleWriteLn(std::string_view text) {
  ConsoleWrite(text);
  ConsoleWrite("\r\n");
}

void OutWrite(std::string_view text) { OsWriteOut(text.data(), text.size()); }

void OutWriteLn(std::string_view text) {
  OutWrite(text);
  OutWrite("\r\n");
}

std::string DecimalText(std::int32_t value) {
  std::int64_t magnitude = value < 0 ? -std::int64_t{value} : value;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude > 0);
  if (value < 0) digits.insert(digits.begin(), '-');
  return digits;
}

std::uint8_t WaitKey() { return OsWaitKey(false, KeyWaitLimit); }

void PressAnyKey() {
  ConsoleWrite("Please press any key... ");
  (void)OsWaitKey(true, KeyWaitLimit);
  ConsoleWriteLn("Ok. \r\n");
}

void FatalStop(std::string_view message) {
  ConsoleWriteLn(message);
  ConsoleWriteLn("\r\n");
  OsExit(1);
}

void StopIfInterrupted() {
  if (OsInterruptPending()) FatalStop("Interrupted; nothing was changed.");
}

void InternalError(std::int32_t code) {
  FatalStop("Internal error occured! (code " + DecimalText(code) + ")!");
}

bool ConfirmCandidate(std::string_view text) {
  for (int i = 0; i < CandidateErase; ++i) OutWrite("\b");
  OutWrite(text);
  OutWrite("  Take this? (y/n) ");
  std::uint8_t key = WaitKey();
  // The answer is echoed as typed; a key of 0 (end of input) is echoed too.
  const char echo[3] = {static_cast<char>(key), '\r', '\n'};
  OutWriteLn(std::string_view(echo, 3));
  return key == 'y';
}

}  // namespace mendrix
