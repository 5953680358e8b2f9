// Damaged patches, deterministically: every cut of a few small valid patches
// (the trailer made to fit again, so that each record is cut in turn, and
// plain prefixes of the file) and single-byte changes at every position.
// Each run must end with exit code 0 or 1, without a sanitizer report or a
// timeout, leave no work file, leave the old files exactly as they were
// when it fails, and leave every target wholly old or wholly new when it
// succeeds.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "patchfile/patch_format.h"
#include "robustness/robust_helpers.h"

namespace mendrix::test {
namespace {

// Header bytes the program does not interpret: changes there prove nothing.
constexpr std::size_t OpaqueStart = 10;
constexpr std::size_t OpaqueEnd = OpaqueStart + OpaqueBlockSize;
constexpr int MaxReportedFailures = 8;
// Positions swept: all of them, but every seventh under Wine, where each
// start of the program costs ten times as much.
#ifdef _WIN32
constexpr std::size_t Stride = 7;
#else
constexpr std::size_t Stride = 1;
#endif

struct TSweepCase {
  const char* Patch;
  bool PlainPrefixes;  // also every prefix of the whole file
};

void StoreU32(TByteVector& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The container cut after length bytes, closed by a trailer that fits it.
TByteVector CutContainer(const TByteVector& patch, std::size_t length) {
  TByteVector cut(patch.begin(), patch.begin() + static_cast<std::ptrdiff_t>(length));
  cut.resize(length + TrailerSize);
  StoreU32(cut, length, static_cast<std::uint32_t>(length + TrailerSize));
  StoreU32(cut, length + 4, PatchMagic);
  return cut;
}

class TSweep {
 public:
  explicit TSweep(const TRobustPatch& patch)
      : Patch_(patch), Scratch_(patch.Tree), Before_(FixedSnapshot(patch.Tree)),
        After_(ToSnapshot(patch.After)) {}

  // Runs one damaged patch. Success must leave the patch's own result, but
  // with the embedded files holding what now stands where their contents
  // were: nothing guards those bytes.
  void Check(const TByteVector& bytes, const std::string& what) {
    TSnapshot expectedAfter = After_;
    for (const auto& span : Patch_.Embedded) {
      if (span.Offset + span.Length > bytes.size()) continue;
      const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(span.Offset);
      expectedAfter[span.Name].assign(from, from + static_cast<std::ptrdiff_t>(span.Length));
    }
    Scratch_.Reset();
    Scratch_.WritePatch(bytes);
    const TRunResult result = Scratch_.Run(WithoutLeakCheck({}), 20);
    const std::string problem = Problem(result, expectedAfter);
    if (problem.empty()) return;
    if (++Failures_ <= MaxReportedFailures) {
      ADD_FAILURE() << Patch_.Name << ", " << what << ": " << problem << "\n  " << Describe(result);
    }
  }

  int Failures() const { return Failures_; }

 private:
  std::string Problem(const TRunResult& result, const TSnapshot& expectedAfter) const {
    if (result.TimedOut) return "timed out";
    if (result.Signal != 0) return "killed by signal " + std::to_string(result.Signal);
    if (result.ExitCode != 0 && result.ExitCode != 1) return "unexpected exit code";
    if (HasSanitizerReport(result.Err)) return "sanitizer report";
    if (!Scratch_.TempLeftovers().empty()) return "work file left: " + Scratch_.TempLeftovers()[0];
    if (!Scratch_.BesideLeftovers().empty()) return "install copy left: " + Scratch_.BesideLeftovers()[0];
    const TSnapshot now = Scratch_.Snapshot();
    if (result.ExitCode == 1) return now == Before_ ? "" : "failed run changed the old files";
    if (!Patch_.Tree) return now == expectedAfter ? "" : "single-file target not wholly new";

    // Backups, under whatever name the patch now gives the backup
    // directory, and results under a changed name are fine; install copies
    // are not.
    return TargetsProblem(Before_, expectedAfter, now, [](const std::string&) { return false; });
  }

  const TRobustPatch& Patch_;
  TScratch Scratch_;
  TSnapshot Before_;
  TSnapshot After_;
  int Failures_ = 0;
};

void PrintTo(const TSweepCase& c, std::ostream* out) { *out << c.Patch; }

class PatchSweep : public testing::TestWithParam<TSweepCase> {};

TEST_P(PatchSweep, EveryCutFailsCleanly) {
  const TRobustPatch& patch = RobustPatch(GetParam().Patch);
  const TByteVector& bytes = patch.Bytes;
  ASSERT_GT(bytes.size(), std::size_t{TrailerSize});
  TSweep sweep(patch);
  // The whole container but its trailer, cut at every length; the cut at
  // the full length is the valid patch itself.
  const std::size_t body = bytes.size() - TrailerSize;
  for (std::size_t length = 0; length <= body; length += Stride) {
    sweep.Check(CutContainer(bytes, length), "container cut at " + std::to_string(length));
  }
  if (GetParam().PlainPrefixes) {
    for (std::size_t length = 0; length < bytes.size(); length += Stride) {
      sweep.Check(TByteVector(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length)),
                  "prefix of " + std::to_string(length));
    }
  }
  EXPECT_EQ(sweep.Failures(), 0);
}

TEST_P(PatchSweep, EverySingleByteChangeFailsCleanlyOrStaysSound) {
  const TRobustPatch& patch = RobustPatch(GetParam().Patch);
  const TByteVector& bytes = patch.Bytes;
  TSweep sweep(patch);
  for (std::size_t at = 0; at < bytes.size(); at += Stride) {
    if (at >= OpaqueStart && at < OpaqueEnd) continue;
    // One bit, the top bit, and all bits: lengths one off, huge values,
    // zero counts turned into large ones and back.
    for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
      TByteVector changed = bytes;
      changed[at] ^= flip;
      sweep.Check(changed, "byte " + std::to_string(at) + " xor " + std::to_string(flip));
    }
  }
  EXPECT_EQ(sweep.Failures(), 0);
}

// Small patches: a single-file patch with copies from the source and the
// output and literal inserts; one with AddMode, shared count bytes and zero
// numbers; a tree patch with a file entry and an embedded file.
INSTANTIATE_TEST_SUITE_P(Small, PatchSweep,
                         testing::Values(TSweepCase{"single_copy_insert", false},
                                         TSweepCase{"single_groups_zero", false},
                                         TSweepCase{"tree_small", true}),
                         [](const testing::TestParamInfo<TSweepCase>& param) {
                           return std::string(param.param.Patch);
                         });

}  // namespace
}  // namespace mendrix::test
