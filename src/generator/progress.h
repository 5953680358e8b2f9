// A one-line progress display on the console channel for work that takes
// more than a moment: nothing is shown during the first second.
#ifndef MENDRIX_GENERATOR_PROGRESS_H_
#define MENDRIX_GENERATOR_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace mendrix {

class TProgress {
 public:
  // An empty label keeps the display quiet.
  explicit TProgress(std::string label);
  ~TProgress();
  TProgress(const TProgress&) = delete;
  TProgress& operator=(const TProgress&) = delete;

  // Shows "label: stage done%" at most a few times a second.
  void Show(const char* stage, std::int64_t done, std::int64_t total);

 private:
  std::string Label_;
  std::chrono::steady_clock::time_point Start_;
  std::chrono::steady_clock::time_point LastShown_;
  bool Shown_ = false;
  int LastPercent_ = -1;
  const char* LastStage_ = nullptr;
};

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_PROGRESS_H_
