#include "generator/progress.h"

#include <utility>

#include "console/console.h"

namespace mendrix {

TProgress::TProgress(std::string label)
    : Label_(std::move(label)), Start_(std::chrono::steady_clock::now()) {}

TProgress::~TProgress() {
  // Clears the line so that the next message starts on an empty one.
  if (Shown_) ConsoleWrite("\r" + std::string(Label_.size() + 24, ' ') + "\r");
}

void TProgress::Show(const char* stage, std::int64_t done, std::int64_t total) {
  if (Label_.empty() || total <= 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - Start_ < std::chrono::seconds(1)) return;
  const int percent = static_cast<int>(done * 100 / total);
  if (Shown_ && ((percent == LastPercent_ && stage == LastStage_) || now - LastShown_ < std::chrono::milliseconds(200))) {
    return;
  }
  ConsoleWrite("\r" + Label_ + ": " + stage + " " + std::to_string(percent) + "%   ");
  Shown_ = true;
  LastShown_ = now;
  LastPercent_ = percent;
  LastStage_ = stage;
}

}  // namespace mendrix
