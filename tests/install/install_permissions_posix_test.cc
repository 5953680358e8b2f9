// The install keeps the access permissions of the file it replaces.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/run_program.h"
#include "support/test_files.h"
#include "writer/patch_writer.h"

namespace mendrix {
namespace {

TEST(InstallResult, ReplacedProgramStaysExecutable) {
  test::TTempDir dir;
  std::vector<std::uint8_t> oldBytes = test::RandomBytes(3000, 1);
  std::vector<std::uint8_t> newBytes = oldBytes;
  newBytes[10] ^= 0x55;
  test::WriteFileBytes(dir.File("tool"), oldBytes);
  ASSERT_EQ(chmod(dir.File("tool").c_str(), 0750), 0);

  // One variant: copy the first 10 bytes, insert the changed byte, copy the rest.
  TDeltaParams params;
  params.NumberLimit = NumberLimitFor(0, 3000, 3000);
  std::vector<TDeltaOp> ops = {TDeltaOp::Copy(10, 0), TDeltaOp::Insert({newBytes[10]}, true, 20),
                               TDeltaOp::Copy(2989, 1)};
  TWriterVariant variant;
  std::string error;
  ASSERT_TRUE(EncodeDelta(ops, params, variant.Streams, error)) << error;
  variant.Info.SourceSize = 3000;
  variant.Info.GroupLength = params.GroupLength;
  variant.Info.BlockLength = params.BlockLength;
  auto crc = [](const std::vector<std::uint8_t>& bytes) {
    std::uint32_t value = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) {
      value ^= b;
      for (int k = 0; k < 8; ++k) value = (value >> 1) ^ (0xEDB88320u & (0u - (value & 1)));
    }
    return value;
  };
  variant.Info.SourceCrc = crc(oldBytes);
  TWriterEntry entry;
  entry.Info.ResultSize = 3000;
  entry.Info.ResultCrc = crc(newBytes);
  entry.Info.ResultTime = 0x255A74E1;
  entry.Variants.push_back(variant);
  TWriterPatch patch;
  patch.Entries.push_back(entry);
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(WritePatch(patch, bytes, error)) << error;
  test::WriteFileBytes(dir.File("p.pat"), bytes);

  test::TRunRequest request;
  request.Arguments = {dir.File("p.pat"), dir.File("tool")};
  request.Environment = {{"TMPDIR", dir.Path()}};
  test::TRunResult result = test::RunProgram(request);
  ASSERT_EQ(result.ExitCode, 0) << result.Err;
  EXPECT_EQ(test::ReadFileBytes(dir.File("tool")), newBytes);
  struct stat info;
  ASSERT_EQ(stat(dir.File("tool").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0750u);
}

}  // namespace
}  // namespace mendrix
