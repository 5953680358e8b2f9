#include "generator/progress.h"

#include <algorithm>
#include <cmath>

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
  if (seconds < 90) return "about " + std::to_string(std::lround(seconds)) + " s left";
  return "about " + std::to_string(std::lround(seconds / 60)) + " min left";
}

}  // namespace

TProgress::TProgress(bool enabled) : Enabled(enabled), Started(std::chrono::steady_clock::now()) {}

TProgress::~TProgress() { Clear(); }

void TProgress::StartRun(std::int64_t fileCount, std::int64_t workBytes) {
  FileCount = fileCount;
  WorkBytes = workBytes;
}

void TProgress::StartFile(const std::string& name, std::int64_t workBytes) {
  FileName = name;
  FileWork = workBytes;
  Variant = 0;
  VariantCount = 1;
}

void TProgress::StartVariant(std::int64_t index, std::int64_t variantCount) {
  Variant = index;
  VariantCount = std::max<std::int64_t>(variantCount, 1);
}

void TProgress::Show(TStage stage, std::int64_t done, std::int64_t total) {
  if (!Enabled) return;
  const TStageShare& share = StageShares[static_cast<int>(stage)];
  const double inStage = total > 0 ? std::clamp(double(done) / double(total), 0.0, 1.0) : 0.0;
  const double inFile =
      (double(Variant) + share.From + inStage * (share.To - share.From)) / double(VariantCount);
  double run = 0;
  if (WorkBytes > 0) {
    run = (double(WorkDone) + inFile * double(FileWork)) / double(WorkBytes);
  } else if (FileCount > 0) {
    run = (double(FilesDone) + inFile) / double(FileCount);
  }
  Share = std::max(Share, std::min(run, 1.0));
  Draw(share.Name);
}

void TProgress::FinishFile() {
  if (!Enabled) return;
  WorkDone += FileWork;
  ++FilesDone;
  const double run = WorkBytes > 0   ? double(WorkDone) / double(WorkBytes)
                     : FileCount > 0 ? double(FilesDone) / double(FileCount)
                                     : 0.0;
  Share = std::max(Share, std::min(run, 1.0));
  Draw("");
}

void TProgress::Clear() {
  if (ShownLength == 0) return;
  ConsoleWrite("\r" + std::string(ShownLength, ' ') + "\r");
  ShownLength = 0;
}

void TProgress::Draw(const char* stage) {
  const auto now = std::chrono::steady_clock::now();
  if (now - Started < std::chrono::seconds(1)) return;
  const int permille = static_cast<int>(Share * 1000);
  if (ShownLength > 0 && ((permille == ShownPermille && stage == ShownStage) ||
                          now - LastShown < std::chrono::milliseconds(200))) {
    return;
  }
  std::string head = "mendrix-make: " + std::to_string(permille / 10) + "%";
  if (FileCount > 1) {
    head += ", " + std::to_string(FilesDone) + " of " + std::to_string(FileCount) + " files";
  }
  std::string tail;
  if (*stage != '\0') tail = std::string(": ") + stage;
  const double elapsed = std::chrono::duration<double>(now - Started).count();
  if (elapsed >= 3 && Share >= 0.01 && Share < 1) {
    tail += ", " + TimeLeftText(elapsed * (1 - Share) / Share);
  }
  std::string line = head;
  if (*stage != '\0' && !FileName.empty()) {
    // The name's end tells most: its start gives way first.
    const std::size_t room =
        LineWidth > head.size() + tail.size() + 2 ? LineWidth - head.size() - tail.size() - 2 : 0;
    std::string name = FileName;
    if (name.size() > room) name = room > 3 ? "..." + name.substr(name.size() - (room - 3)) : "";
    if (!name.empty()) line += ", " + name;
  }
  line += tail;
  if (line.size() > LineWidth) line.resize(LineWidth);
  const std::size_t length = line.size();
  if (length < ShownLength) line += std::string(ShownLength - length, ' ');
  ConsoleWrite("\r" + line);
  ShownLength = std::max(length, ShownLength);  // the blanks cover an older, longer line
  LastShown = now;
  ShownPermille = permille;
  ShownStage = stage;
}

}  // namespace mendrix
