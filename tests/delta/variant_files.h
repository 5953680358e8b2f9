// Files for decoding one variant in a test: a patch file holding the five
// streams after some unrelated bytes, opened as the context's patch file,
// and a scratch temp directory for the work files.
#ifndef MENDRIX_TESTS_DELTA_VARIANT_FILES_H_
#define MENDRIX_TESTS_DELTA_VARIANT_FILES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "delta/apply.h"
#include "delta/streams.h"
#include "fileio/fileio.h"
#include "patchfile/patch_context.h"
#include "support/test_files.h"
#include "writer/delta_encoder.h"

namespace mendrix::test {

using TBytes = std::vector<std::uint8_t>;

// Streams written bit by bit, for cases the encoder won't produce.
struct THandStreams {
  TBytes Numbers;
  std::vector<bool> Flags;
  std::vector<bool> Signs;
  TBytes Inserts;
  TBytes Adds;

  TDeltaStreams Build() const {
    TBitWriter flags;
    TBitWriter signs;
    for (bool bit : Flags) flags.Put(bit);
    for (bool bit : Signs) signs.Put(bit);
    return {Numbers, flags.Bytes(), signs.Bytes(), Inserts, Adds};
  }
};

// A regex for what a fatal stop with message writes on the console: the
// message and three line ends, nothing else. Death tests on Windows see the
// line ends translated; there the message alone is matched.
inline std::string FatalOutput(const std::string& message) {
  std::string escaped;
  for (char c : message) {
#ifdef _WIN32
    if (c == '\r' || c == '\n') continue;
#endif
    if (std::string("\\.^$|()[]{}*+?").find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
#ifdef _WIN32
  return escaped;
#else
  return "^" + escaped + "\r\n\r\n\r\n$";
#endif
}

inline TDeltaStreams Encode(const std::vector<TDeltaOp>& ops, const TDeltaParams& params) {
  TDeltaStreams streams;
  std::string error;
  EXPECT_TRUE(EncodeDelta(ops, params, streams, error)) << error;
  return streams;
}

// The work state the delta tests share, as the steps of one run share
// theirs: kept for the whole test program. As in a run, a fatal stop
// removes the files it made.
inline TWorkState& TestWork() {
  static TWorkState* const work = [] {
    auto* state = new TWorkState();
    const auto removeFiles = [](int, void* data) {
      RemoveCreatedFiles(static_cast<TWorkState*>(data)->Files);
    };
    (void)OsSetExitHook({removeFiles, state});
    return state;
  }();
  return *work;
}
inline TRunFiles& TestRun() { return TestWork().Files; }
inline TDecoder& TestDecoder() { return TestWork().Decoder; }

// ApplyVariantTo into a work file, the closed output then in outputName.
inline bool ApplyVariant(TPatchContext& context, const TVariantInfo& variant,
                         std::int32_t streamOffset, const std::string& sourcePath,
                         std::string& outputName, bool verifySource, bool silent,
                         std::int32_t targetSize, const TExcludeRange& exclude) {
  TVariantJob job;
  job.Variant = &variant;
  job.StreamOffset = streamOffset;
  job.SourcePath = sourcePath;
  job.VerifySource = verifySource;
  job.Silent = silent;
  job.TargetSize = targetSize;
  job.Exclude = exclude;
  TVariantOutput to;
  if (ApplyVariantTo(context, TestWork(), job, to) != TApplyResult::Applied) return false;
  outputName = to.Name;
  return true;
}

class TVariantFiles {
 public:
  // Bytes ahead of the streams in the patch file.
  static constexpr std::int32_t StreamOffset = 777;

  TVariantFiles() {
    std::filesystem::create_directory(WorkDir());
    Context.TempDir = WorkDir() + "/";
  }
  ~TVariantFiles() {
    if (Context.PatchFile.State != TFileState::Closed) CloseDiskFile(Context.PatchFile);
    (void)TakeIoStatus();
  }

  // Writes the patch file and opens it; fills in variant.StreamLength. extra
  // bytes follow the streams (a later entry, say).
  void WritePatch(const TDeltaStreams& streams, TVariantInfo& variant, const TBytes& extra = {}) {
    TBytes patch = RandomBytes(StreamOffset, 99);
    for (int i = 0; i < StreamCount; ++i) {
      variant.StreamLength[i] = static_cast<std::uint32_t>(streams[i].size());
      patch.insert(patch.end(), streams[i].begin(), streams[i].end());
    }
    patch.insert(patch.end(), extra.begin(), extra.end());
    // A file open for reading can't be rewritten on Windows.
    if (Context.PatchFile.State != TFileState::Closed) CloseDiskFile(Context.PatchFile);
    WriteFileBytes(Dir.File("patch"), patch);
    OpenForReading(Context.PatchFile, Dir.File("patch"));
    EXPECT_EQ(TakeIoStatus(), 0);
  }

  std::string WorkDir() const { return Dir.File("work"); }
  std::vector<std::string> WorkFiles() const { return ListDirectory(WorkDir()); }

  TTempDir Dir;
  TPatchContext Context;
};

}  // namespace mendrix::test

#endif  // MENDRIX_TESTS_DELTA_VARIANT_FILES_H_
