// Helpers for whole runs of the program: patches made from file versions,
// a scratch layout with its own temp directory, and the texts of a run.
#ifndef MENDRIX_TESTS_E2E_E2E_HELPERS_H_
#define MENDRIX_TESTS_E2E_E2E_HELPERS_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "checksum/checksum.h"
#include "support/patch_builder.h"
#include "support/run_program.h"
#include "support/test_files.h"
#include "writer/delta_encoder.h"
#include "writer/patch_writer.h"

namespace mendrix::test {

using TBytes = std::vector<std::uint8_t>;

inline TBytes Bytes(const std::string& text) { return TBytes(text.begin(), text.end()); }

inline std::uint32_t ChecksumOf(const TBytes& bytes) {
  return CrcUpdate(CrcStart, bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

// A DOS date-time and the same moment in seconds since 1970, read as UTC
// (the runs have TZ=UTC).
inline std::uint32_t DosStamp(int year, int month, int day, int hour, int minute, int second) {
  const auto date = static_cast<std::uint32_t>((year - 1980) << 9 | month << 5 | day);
  const auto time = static_cast<std::uint32_t>(hour << 11 | minute << 5 | second / 2);
  return date << 16 | time;
}
inline std::int64_t UtcSeconds(int year, int month, int day, int hour, int minute, int second) {
  // Days from 1970-01-01 to the civil date (proleptic Gregorian).
  const int y = month <= 2 ? year - 1 : year;
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

constexpr std::uint8_t TestBlockLength = 20;

// Operations that rebuild target from source: the common start copied, the
// differing middle inserted, the common end copied.
inline std::vector<TDeltaOp> PrefixSuffixOps(const TBytes& source, const TBytes& target) {
  std::size_t prefix = 0;
  while (prefix < source.size() && prefix < target.size() && source[prefix] == target[prefix]) {
    ++prefix;
  }
  std::size_t suffix = 0;
  while (suffix < source.size() - prefix && suffix < target.size() - prefix &&
         source[source.size() - 1 - suffix] == target[target.size() - 1 - suffix]) {
    ++suffix;
  }
  std::vector<TDeltaOp> ops;
  if (prefix > 0) ops.push_back(TDeltaOp::Copy(static_cast<std::int32_t>(prefix), 0));
  if (target.size() > prefix + suffix) {
    TBytes middle(target.begin() + static_cast<std::ptrdiff_t>(prefix),
                  target.end() - static_cast<std::ptrdiff_t>(suffix));
    ops.push_back(TDeltaOp::Insert(std::move(middle), true, TestBlockLength));
  }
  if (suffix > 0) {
    const auto from = static_cast<std::int64_t>(source.size() - suffix);
    ops.push_back(
        TDeltaOp::Copy(static_cast<std::int32_t>(suffix),
                       static_cast<std::int32_t>(from - static_cast<std::int64_t>(prefix))));
  }
  return ops;
}

// A variant that turns source into target; name is where a tree patch finds
// the source ("" = the entry's own name).
inline TWriterVariant VariantFor(const TBytes& source, const TBytes& target,
                                 const std::string& name = "") {
  TDeltaParams params;
  params.GroupLength = 190;
  params.VariantFlags = VariantAddModeOff;
  params.BlockLength = TestBlockLength;
  params.NumberLimit = NumberLimitFor(params.VariantFlags, static_cast<std::int32_t>(source.size()),
                                      static_cast<std::int32_t>(target.size()));
  return MakeVariant(PrefixSuffixOps(source, target), params, ChecksumOf(source),
                     static_cast<std::uint32_t>(source.size()), name);
}

// A file entry whose variants chain versions[0] -> versions[1] -> ... -> the
// last one, which is the result.
inline TWriterEntry ChainEntry(const std::string& name, const std::vector<TBytes>& versions,
                               std::uint32_t resultTime, const std::string& variantName = "") {
  TWriterEntry entry;
  entry.Type = FileEntryType;
  entry.Name = name;
  entry.Info.ResultCrc = ChecksumOf(versions.back());
  entry.Info.ResultSize = static_cast<std::uint32_t>(versions.back().size());
  entry.Info.ResultTime = resultTime;
  for (std::size_t i = 0; i + 1 < versions.size(); ++i) {
    entry.Variants.push_back(VariantFor(versions[i], versions[i + 1], variantName));
  }
  return entry;
}

inline TWriterEntry EmbeddedEntry(const std::string& name, const TBytes& content,
                                  std::uint32_t time) {
  TWriterEntry entry;
  entry.Type = EmbeddedEntryType;
  entry.Name = name;
  entry.Content = content;
  entry.EmbeddedTime = time;
  return entry;
}

inline TWriterPatch SingleFilePatch(const TWriterEntry& entry, const std::string& notice = "Test") {
  TWriterPatch patch;
  patch.PatchKind = 1;
  patch.Notice = notice;
  patch.Entries.push_back(entry);
  return patch;
}

inline TWriterPatch TreePatch(std::vector<TWriterEntry> entries,
                              const std::string& notice = "Test") {
  TWriterPatch patch;
  patch.PatchKind = TreePatchKind;
  patch.Notice = notice;
  patch.BackupName = "Backup";
  patch.Entries = std::move(entries);
  return patch;
}

// A scratch root with a temp directory of its own for the runs.
class TRunDir {
 public:
  TRunDir() { WriteFileText(Temp() + "/.keep", ""); }
  std::string Path() const { return Root_.Path(); }
  std::string File(const std::string& name) const { return Root_.File(name); }
  std::string Temp() const { return Root_.File("tmp"); }

  // Work files left in the temp directory (the .keep marker aside).
  std::vector<std::string> LeftInTemp() const {
    std::vector<std::string> names;
    for (const std::string& name : ListDirectory(Temp())) {
      if (name != ".keep") names.push_back(name);
    }
    return names;
  }

  void WritePatch(const std::string& name, const TWriterPatch& patch) const {
    WriteFileBytes(File(name), BuildPatch(patch));
  }

  // Runs the program in the root with TMPDIR in the scratch temp directory;
  // input answers the key waits (end of input answers with no key).
  TRunResult Run(const std::vector<std::string>& arguments, const std::string& input = "",
                 const std::string& workDir = "") const {
    TRunRequest request;
    request.Arguments = arguments;
    request.Input = input;
    request.WorkDir = workDir.empty() ? Path() : workDir;
    request.Environment = {{"TMPDIR", Temp()}};
    return RunProgram(request);
  }

 private:
  TTempDir Root_;
};

// The banner as the program prints it (the run of a bare program shows it).
inline const std::string& Banner() {
  static const std::string banner = [] {
    TRunRequest request;
    return RunProgram(request).Err;
  }();
  return banner;
}

// What the console channel shows up to the key prompt for a notice without
// zero bytes or marker.
inline std::string NoticeAndPrompt(const std::string& notice) {
  return notice + "\r\n" + "Please press any key... Ok. \r\n\r\n";
}

inline std::string FatalText(const std::string& message) { return message + "\r\n\r\n\r\n"; }

}  // namespace mendrix::test

#endif  // MENDRIX_TESTS_E2E_E2E_HELPERS_H_
