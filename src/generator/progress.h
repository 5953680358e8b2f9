// The status line of a run: on a terminal, one line on the console channel,
// redrawn in place, with how far the whole run is, the files done of all,
// the file at work and its stage, and an estimate of the time left. Nothing
// is shown during the first second, and the share shown never goes back.
//
// The run's work is weighed in bytes: each file counts for the bytes its
// variants read (sources and results). Within a variant, indexing the
// source, matching and planning have fixed shares.
#ifndef MENDRIX_GENERATOR_PROGRESS_H_
#define MENDRIX_GENERATOR_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace mendrix {

enum class TStage { Indexing, Matching, Planning };

class TProgress {
 public:
  // Draws nothing unless enabled.
  explicit TProgress(bool enabled);
  // Erases the line.
  ~TProgress();
  TProgress(const TProgress&) = delete;
  TProgress& operator=(const TProgress&) = delete;

  // The whole run: fileCount files whose work weighs workBytes.
  void StartRun(std::int64_t fileCount, std::int64_t workBytes);
  // The next file, its name as the patch holds it (may be empty) and its weight.
  void StartFile(const std::string& name, std::int64_t workBytes);
  // The variant of the current file now at work, of variantCount.
  void StartVariant(std::int64_t index, std::int64_t variantCount);
  // done of total units of a stage of the current variant.
  void Show(TStage stage, std::int64_t done, std::int64_t total);
  // The current file is complete.
  void FinishFile();
  // Erases the line, so that a message can be written; the next Show draws
  // it again.
  void Clear();

 private:
  void Draw(const char* stage);

  bool Enabled;
  std::chrono::steady_clock::time_point Started;
  std::chrono::steady_clock::time_point LastShown;
  std::size_t ShownLength = 0;  // of the line on screen; 0: none
  std::int64_t FileCount = 0;
  std::int64_t FilesDone = 0;
  std::int64_t WorkBytes = 0;
  std::int64_t WorkDone = 0;  // of the files complete
  std::string FileName;
  std::int64_t FileWork = 0;
  std::int64_t Variant = 0;
  std::int64_t VariantCount = 1;
  double Share = 0;  // of the whole run, as last shown; never smaller
  int ShownPermille = -1;
  const char* ShownStage = nullptr;
};

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_PROGRESS_H_
