// Everything Mendrix says and every key it takes passes through here: the
// console channel (standard error: banner, option errors, the patch notice,
// the key prompt, fatal messages), the standard-output channel (usage,
// progress and results, the search display and its question), key waits and
// the fatal stop. Each write has left the program when the call returns.
#ifndef MENDRIX_CONSOLE_CONSOLE_H_
#define MENDRIX_CONSOLE_CONSOLE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace mendrix {

void ConsoleWrite(std::string_view text);
// ConsoleWrite of text, then of "\r\n".
void ConsoleWriteLn(std::string_view text);
void OutWrite(std::string_view text);
// OutWrite of text, then of "\r\n" (two writes).
void OutWriteLn(std::string_view text);

std::string DecimalText(std::int32_t value);

// One key from standard input, case kept; 0 when a timed wait ran out or the
// input ended. Keys typed before the call are discarded on a terminal.
std::uint8_t WaitKey();
// "Please press any key... ", a key wait of at most 10 seconds, "Ok. ".
void PressAnyKey();
// Writes the message and two empty lines on the console channel and ends
// the process with exit code 1 (OsExit: the run's exit hook removes its own
// work files first).
[[noreturn]] void FatalStop(std::string_view message);
// FatalStop of "Interrupted; nothing was changed." once an interrupt has
// arrived, unless OsHoldInterrupts was called. Called between steps that
// leave nothing of the user's changed.
void StopIfInterrupted();
// FatalStop of "Internal error occured! (code {n})!".
[[noreturn]] void InternalError(std::int32_t code);
// The yes/no question of the target search; true only for a lower-case y.
bool ConfirmCandidate(std::string_view text);

}  // namespace mendrix

#endif  // MENDRIX_CONSOLE_CONSOLE_H_
