#include "generator/dos_time.h"

#include <chrono>

namespace mendrix {

std::uint32_t DosDateTime(std::time_t moment) {
  const std::tm* local = std::localtime(&moment);
  if (local == nullptr || local->tm_year < 80) return (1u << 5 | 1u) << 16;
  if (local->tm_year > 207) return 0xFF9FBF7Du;  // 2107-12-31 23:59:58
  const std::uint32_t date = static_cast<std::uint32_t>(local->tm_year - 80) << 9 |
                             static_cast<std::uint32_t>(local->tm_mon + 1) << 5 |
                             static_cast<std::uint32_t>(local->tm_mday);
  const std::uint32_t time =
      static_cast<std::uint32_t>(local->tm_hour) << 11 |
      static_cast<std::uint32_t>(local->tm_min) << 5 |
      static_cast<std::uint32_t>((local->tm_sec > 59 ? 59 : local->tm_sec) / 2);
  return date << 16 | time;
}

std::uint32_t FileDosTime(const std::filesystem::file_time_type& writeTime) {
  const auto system = std::chrono::file_clock::to_sys(writeTime);
  return DosDateTime(std::chrono::system_clock::to_time_t(
      std::chrono::time_point_cast<std::chrono::system_clock::duration>(system)));
}

}  // namespace mendrix
