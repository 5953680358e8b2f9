#include "generator/progress.h"

#include <algorithm>

#include "console/console.h"

namespace mendrix {

namespace {

constexpr std::size_t LineWidth = 79;  // a line of an 80-column terminal, less the cursor

struct TStageShare {
  const char* Name;
  double From;  // of a variant's work
  double To;
};

// Indexing takes the most time, the more so the larger the file; planning
// the least.
constexpr TStageShare StageShares[] = {
    {"indexing", 0.0, 0.6},
    {"matching", 0.6, 0.9},
    {"planning", 0.9, 1.0},
};

std::string TimeLeftText(double seconds) {
  if (seconds < 90) return "about " + std::to_string(static_cast<int>(seconds + 0.5)) + " s left";
  return "about " + std::to_string(static_cast<int>(seconds / 60 + 0.5)) + " min left";
}

}  // namespace

TProgress::TProgress(bool enabled)
    : Enabled_(enabled), Start_(std::chrono::steady_clock::now()) {}

TProgress::~TProgress() { Clear(); }

void TProgress::StartRun(std::int64_t fileCount, std::int64_t workBytes) {
  FileCount_ = fileCount;
  WorkBytes_ = workBytes;
}

void TProgress::StartFile(const std::string& name, std::int64_t workBytes) {
  FileName_ = name;
  FileWork_ = workBytes;
  Variant_ = 0;
  VariantCount_ = 1;
}

void TProgress::StartVariant(std::int64_t index, std::int64_t variantCount) {
  Variant_ = index;
  VariantCount_ = std::max<std::int64_t>(variantCount, 1);
}

void TProgress::Show(TStage stage, std::int64_t done, std::int64_t total) {
  if (!Enabled_) return;
  const TStageShare& share = StageShares[static_cast<int>(stage)];
  const double inStage = total > 0 ? std::clamp(double(done) / double(total), 0.0, 1.0) : 0.0;
  const double inFile =
      (double(Variant_) + share.From + inStage * (share.To - share.From)) / double(VariantCount_);
  double run = 0;
  if (WorkBytes_ > 0) {
    run = (double(WorkDone_) + inFile * double(FileWork_)) / double(WorkBytes_);
  } else if (FileCount_ > 0) {
    run = (double(FilesDone_) + inFile) / double(FileCount_);
  }
  Share_ = std::max(Share_, std::min(run, 1.0));
  Draw(share.Name);
}

void TProgress::FinishFile() {
  if (!Enabled_) return;
  WorkDone_ += FileWork_;
  ++FilesDone_;
  const double run = WorkBytes_ > 0   ? double(WorkDone_) / double(WorkBytes_)
                     : FileCount_ > 0 ? double(FilesDone_) / double(FileCount_)
                                      : 0.0;
  Share_ = std::max(Share_, std::min(run, 1.0));
  Draw("");
}

void TProgress::Clear() {
  if (ShownLength_ == 0) return;
  ConsoleWrite("\r" + std::string(ShownLength_, ' ') + "\r");
  ShownLength_ = 0;
}

void TProgress::Draw(const char* stage) {
  const auto now = std::chrono::steady_clock::now();
  if (now - Start_ < std::chrono::seconds(1)) return;
  const int permille = static_cast<int>(Share_ * 1000);
  if (ShownLength_ > 0 &&
      ((permille == ShownPermille_ && stage == ShownStage_) ||
       now - LastShown_ < std::chrono::milliseconds(200))) {
    return;
  }
  std::string head = "mendrix-make: " + std::to_string(permille / 10) + "%";
  if (FileCount_ > 1) {
    head += ", " + std::to_string(FilesDone_) + " of " + std::to_string(FileCount_) + " files";
  }
  std::string tail;
  if (*stage != '\0') tail = std::string(": ") + stage;
  const double elapsed = std::chrono::duration<double>(now - Start_).count();
  if (elapsed >= 3 && Share_ >= 0.01 && Share_ < 1) {
    tail += ", " + TimeLeftText(elapsed * (1 - Share_) / Share_);
  }
  std::string line = head;
  if (*stage != '\0' && !FileName_.empty()) {
    // The name's end tells most: its start gives way first.
    const std::size_t room = LineWidth > head.size() + tail.size() + 2
                                 ? LineWidth - head.size() - tail.size() - 2
                                 : 0;
    std::string name = FileName_;
    if (name.size() > room) name = room > 3 ? "..." + name.substr(name.size() - (room - 3)) : "";
    if (!name.empty()) line += ", " + name;
  }
  line += tail;
  if (line.size() > LineWidth) line.resize(LineWidth);
  const std::size_t length = line.size();
  if (length < ShownLength_) line += std::string(ShownLength_ - length, ' ');
  ConsoleWrite("\r" + line);
  ShownLength_ = std::max(length, ShownLength_);  // the blanks cover an older, longer line
  LastShown_ = now;
  ShownPermille_ = permille;
  ShownStage_ = stage;
}

}  // namespace mendrix
