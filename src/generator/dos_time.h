// File times as the patch format stores them: a DOS date-time in local time
// (high 16 bits the date, low 16 bits the time, seconds in steps of two).
#ifndef MENDRIX_GENERATOR_DOS_TIME_H_
#define MENDRIX_GENERATOR_DOS_TIME_H_

#include <cstdint>
#include <ctime>
#include <filesystem>

namespace mendrix {

// The DOS date-time of a moment, in the local time zone (TZ). Odd seconds
// round down; moments before 1980 give 1 January 1980, 00:00:00, and moments
// after 2107 the last moment a DOS date-time holds.
std::uint32_t DosDateTime(std::time_t moment);

// The DOS date-time of a file's last-write time.
std::uint32_t FileDosTime(const std::filesystem::file_time_type& writeTime);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_DOS_TIME_H_
