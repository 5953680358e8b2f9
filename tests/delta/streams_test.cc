#include "delta/streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "delta/variant_files.h"
#include "support/test_files.h"

namespace mendrix {
namespace {

using test::FatalOutput;
using test::ListDirectory;
using test::ReadFileBytes;
using test::TBytes;
using test::THandStreams;
using test::TTempDir;
using test::TestDecoder;
using test::TestRun;
using test::TVariantFiles;
using test::WriteFileBytes;

// The stream readers write up to CopySlack bytes past count; these read
// into room of their own and hand on count bytes.
using TStreamRead = bool (*)(TDecoder&, std::uint8_t*, std::int32_t);

bool ReadRoomy(TStreamRead read, TDecoder& decoder, std::uint8_t* buffer, std::int32_t count) {
  std::vector<std::uint8_t> room(static_cast<std::size_t>(count) + CopySlack);
  const bool readAll = read(decoder, room.data(), count);
  std::copy_n(room.begin(), count, buffer);
  return readAll;
}

bool ReadInsertBytes(TDecoder& decoder, std::uint8_t* buffer, std::int32_t count) {
  return ReadRoomy(&ReadInsertRun, decoder, buffer, count);
}

bool ReadAddBytes(TDecoder& decoder, std::uint8_t* buffer, std::int32_t count) {
  return ReadRoomy(&ReadAddRun, decoder, buffer, count);
}

class StreamsTest : public testing::Test {
 protected:
  void SetUp() override { (void)TakeIoStatus(); }
  void TearDown() override {
    ReleaseWorkFiles(TestRun(), TestDecoder());
    EXPECT_EQ(TakeIoStatus(), 0) << "a failure was left pending";
  }

  // Buffers the streams and makes the decoder ready for the first number.
  void Start(const THandStreams& hand, std::int32_t numberLimit) {
    TVariantInfo variant;
    Files.WritePatch(hand.Build(), variant);
    BufferVariantStreams(Files.Context, TestRun(), TestDecoder(), variant, TVariantFiles::StreamOffset);
    ResetBitReaders(TestDecoder());
    TestDecoder().NumberLimit = numberLimit;
    TestDecoder().NumberBytesLeft = static_cast<std::int32_t>(hand.Numbers.size());
  }

  TVariantFiles Files;
};

TEST_F(StreamsTest, WorkFileNamesPassOverWhatIsInTheWay) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Files;  // regular files planted first
    std::vector<std::string> Directories;
    std::vector<std::string> DanglingLinks;
    std::vector<std::string> LinksToFiles;  // to a file that must stay as it is
    std::string Created;   // what CreateWorkFile creates
  };
  const TCase cases[] = {
      {"empty directory", {}, {}, {}, {}, "DWX0"},
      {"a file left over", {"DWX0"}, {}, {}, {}, "DWX1"},
      {"files left over with a gap", {"DWX0", "DWX2"}, {}, {}, {}, "DWX1"},
      // A directory is no file: the name is offered but can't be created.
      {"a directory", {}, {"DWX0"}, {}, {}, "DWX1"},
      // A dangling link is never followed, so nothing appears at its target.
      {"a dangling link", {}, {}, {"DWX0"}, {}, "DWX1"},
      {"a link to a file", {}, {}, {}, {"DWX0"}, "DWX1"},
      {"all of them", {"DWX0"}, {"DWX1"}, {"DWX2"}, {"DWX3"}, "DWX4"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
#ifdef _WIN32
    if (!c.DanglingLinks.empty() || !c.LinksToFiles.empty()) continue;  // links need privileges
#endif
    TTempDir dir;
    const std::string temp = dir.Path() + "/";
    std::error_code error;
    for (const std::string& name : c.Files) WriteFileBytes(dir.File(name), {1, 2, 3});
    for (const std::string& name : c.Directories) std::filesystem::create_directory(dir.File(name));
    for (const std::string& name : c.DanglingLinks) {
      std::filesystem::create_symlink(dir.File("target-" + name), dir.File(name), error);
      ASSERT_FALSE(error);
    }
    for (const std::string& name : c.LinksToFiles) {
      WriteFileBytes(dir.File("precious-" + name), {7, 7, 7});
      std::filesystem::create_symlink(dir.File("precious-" + name), dir.File(name), error);
      ASSERT_FALSE(error);
    }

    TDiskFile file;
    std::string name;
    ASSERT_TRUE(CreateWorkFile(TestRun(), temp, file, name));
    EXPECT_EQ(name, temp + c.Created);
    std::uint8_t byte = 1;
    EXPECT_TRUE(WriteBlock(file, &byte, 1));
    CloseDiskFile(file);
    for (const std::string& left : c.Files) EXPECT_EQ(ReadFileBytes(dir.File(left)), (TBytes{1, 2, 3}));
    for (const std::string& link : c.DanglingLinks) {
      EXPECT_FALSE(test::FileExists(dir.File("target-" + link)));
    }
    for (const std::string& link : c.LinksToFiles) {
      EXPECT_EQ(ReadFileBytes(dir.File("precious-" + link)), (TBytes{7, 7, 7}));
    }
    ForgetCreatedFile(TestRun(), name);
  }
}

TEST_F(StreamsTest, WorkFileCreationGivesUp) {
  TTempDir dir;
  TDiskFile file;
  std::string name = "unchanged";
  EXPECT_FALSE(CreateWorkFile(TestRun(), dir.File("missing") + "/", file, name));
  EXPECT_EQ(name, "unchanged");
  EXPECT_EQ(file.State, TFileState::Closed);
}

TEST_F(StreamsTest, WorkFilesAreRemovedWhenTheRunStops) {
  TTempDir dir;
  TDiskFile file;
  std::string name;
  ASSERT_TRUE(CreateWorkFile(TestRun(), dir.Path() + "/", file, name));
  // What a fatal stop does: every handle is closed, then the run's files go.
  CloseDiskFile(file);
  RemoveCreatedFiles(TestRun());
  EXPECT_TRUE(ListDirectory(dir.Path()).empty());
}

TEST_F(StreamsTest, BufferingMakesTheWorkFilesReadsInPlaceAndReleaseRemovesThem) {
  THandStreams hand;
  hand.Numbers = test::RandomBytes(70000, 1);  // more than a reader's buffer
  hand.Flags = {true};
  hand.Inserts = {};  // empty streams are fine
  hand.Adds = {9, 8, 7};
  const TDeltaStreams streams = hand.Build();
  TVariantInfo variant;
  Files.WritePatch(streams, variant, {0xEE, 0xEE});
  BufferVariantStreams(Files.Context, TestRun(), TestDecoder(), variant, TVariantFiles::StreamOffset);

  ASSERT_EQ(Files.WorkFiles(), (std::vector<std::string>{"DWX0", "DWX1", "DWX2", "DWX3", "DWX4"}));
  TBytes adds(3);
  EXPECT_TRUE(ReadAddBytes(TestDecoder(), adds.data(), 3));
  EXPECT_EQ(adds, (TBytes{9, 8, 7}));
  EXPECT_FALSE(ReadAddBytes(TestDecoder(), adds.data(), 1));  // the byte after the stream is not its own
  EXPECT_FALSE(ReadInsertBytes(TestDecoder(), adds.data(), 1));
  TestDecoder().NumberBytesLeft = 70000;
  TBytes numbers;
  for (int i = 0; i < 70000; ++i) numbers.push_back(ReadCountByte(TestDecoder()));
  EXPECT_EQ(numbers, hand.Numbers);
  EXPECT_EQ(NumberBytesLeft(TestDecoder()), 0);
  ReleaseWorkFiles(TestRun(), TestDecoder());
  EXPECT_TRUE(Files.WorkFiles().empty());
}

TEST_F(StreamsTest, TheNextVariantWritesOverTheWorkFilesAndReadsOnlyItsOwnBytes) {
  // Longer streams first, then shorter ones in the same files: neither a
  // stream read from the buffer nor one read through its file may reach the
  // bytes the first variant left behind.
  struct TStep {
    TBytes Inserts;
    TBytes Adds;
  };
  const TStep steps[] = {
      {test::RandomBytes(90000, 3), {1, 2, 3, 4}},
      {test::RandomBytes(70000, 4), {5}},
      {{}, {}},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.Inserts.size());
    THandStreams hand;
    hand.Inserts = step.Inserts;
    hand.Adds = step.Adds;
    TVariantInfo variant;
    Files.WritePatch(hand.Build(), variant, {0xEE, 0xEE});
    BufferVariantStreams(Files.Context, TestRun(), TestDecoder(), variant, TVariantFiles::StreamOffset);
    EXPECT_EQ(Files.WorkFiles(),
              (std::vector<std::string>{"DWX0", "DWX1", "DWX2", "DWX3", "DWX4"}));
    TBytes bytes(step.Inserts.size());
    EXPECT_TRUE(ReadInsertBytes(TestDecoder(), bytes.data(), static_cast<std::int32_t>(bytes.size())));
    EXPECT_EQ(bytes, step.Inserts);
    bytes.resize(step.Adds.size());
    EXPECT_TRUE(ReadAddBytes(TestDecoder(), bytes.data(), static_cast<std::int32_t>(bytes.size())));
    EXPECT_EQ(bytes, step.Adds);
    std::uint8_t more = 0;
    EXPECT_FALSE(ReadInsertBytes(TestDecoder(), &more, 1));
    EXPECT_FALSE(ReadAddBytes(TestDecoder(), &more, 1));
  }
}

TEST_F(StreamsTest, BitsComeFromBitZeroUpAndResetFetchesANewByte) {
  THandStreams hand;
  hand.Flags = {true, false, true, false, false, true, false, true, /* next byte */ true,
                false, false, false, false, false, false, false, /* next byte */ false, true};
  Start(hand, 255);
  for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(ReadFlagBit(TestDecoder()), hand.Flags[i]) << "bit " << i;
  ResetBitReaders(TestDecoder());  // the rest of the second byte is passed over
  EXPECT_FALSE(ReadFlagBit(TestDecoder()));
  EXPECT_TRUE(ReadFlagBit(TestDecoder()));
}

// The bytes and bits one number takes, and the sentinels that follow them:
// the next number-stream byte is 0x5A, and each bit stream goes on with the
// complement of its last bit taken, then that bit again, so a reader that
// takes one bit too few or too many sees the wrong bit.
TEST_F(StreamsTest, ExtensionBitsFollowNumberLimit) {
  struct TCase {
    const char* Name;
    std::int32_t Limit;
    TBytes Numbers;
    std::vector<bool> Signs;
    std::vector<bool> Flags;
    std::int32_t Expected;
  };
  const TCase cases[] = {
      {"255: one byte, no extension bit", 255, {0xC8}, {false}, {}, 200},
      {"255: negative", 255, {0xFF}, {true}, {}, -255},
      {"255: sign 1 and magnitude 0 is 0", 255, {0x00}, {true}, {}, 0},
      {"a negative limit counts as small", -1, {0x07}, {false}, {}, 7},
      {"256: an extension bit after a single byte", 256, {0xC8}, {false, false}, {}, 200},
      {"256: two bytes", 256, {0x12, 0x34}, {false, true}, {}, 0x1234},
      {"65535: two bytes, no second extension bit", 65535, {0x12, 0x34}, {false, true}, {}, 0x1234},
      {"65536: second extension bit from the flag stream", 65536, {0x12, 0x34}, {false, true},
       {false}, 0x1234},
      {"65536: three bytes", 65536, {0x12, 0x34, 0x56}, {true, true}, {true}, -0x123456},
      {"16777215: no third extension bit", 16777215, {0x12, 0x34, 0x56}, {false, true}, {true},
       0x123456},
      {"16777216: a third extension bit", 16777216, {0x12, 0x34, 0x56}, {false, true},
       {true, false}, 0x123456},
      {"16777216: four bytes", 16777216, {0x7F, 0xFF, 0xFF, 0xFE}, {false, true}, {true, true},
       0x7FFFFFFE},
      {"16777216: one byte", 16777216, {0x12}, {false, false}, {}, 0x12},
      {"three bytes of the worked example", 5167888, {0x01, 0xC1, 0xBD}, {false, true}, {true},
       115133},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THandStreams hand;
    hand.Numbers = c.Numbers;
    hand.Numbers.push_back(0x5A);
    hand.Signs = c.Signs;
    hand.Flags = c.Flags;
    const bool signSentinel = c.Signs.empty() || !c.Signs.back();
    const bool flagSentinel = c.Flags.empty() || !c.Flags.back();
    hand.Signs.insert(hand.Signs.end(), {signSentinel, !signSentinel});
    hand.Flags.insert(hand.Flags.end(), {flagSentinel, !flagSentinel});
    Start(hand, c.Limit);

    EXPECT_EQ(ReadNumber(TestDecoder()), c.Expected);
    EXPECT_EQ(NumberBytesLeft(TestDecoder()), 1);
    EXPECT_EQ(ReadCountByte(TestDecoder()), 0x5A);
    EXPECT_EQ(NumberBytesLeft(TestDecoder()), 0);
    EXPECT_EQ(ReadSignBit(TestDecoder()), signSentinel);
    EXPECT_EQ(ReadFlagBit(TestDecoder()), flagSentinel);
    ReleaseWorkFiles(TestRun(), TestDecoder());
  }
}

TEST_F(StreamsTest, WorkedExampleTakesSevenFlagBitsAndTwentyTwoSignBits) {
  THandStreams hand;
  hand.Numbers = {0x01, 0xC1, 0xBD, 0x00, 0x00, 0x01, 0x01, 0xAC, 0x0F, 0x01,
                  0x05, 0x01, 0xF7, 0x58, 0x05, 0x06, 0x49, 0x75, 0xE0, 0x06};
  TDeltaStreams streams = hand.Build();
  streams[FlagStream] = {0x7F};
  streams[SignStream] = {0x92, 0x24, 0x09};
  TVariantInfo variant;
  Files.WritePatch(streams, variant);
  BufferVariantStreams(Files.Context, TestRun(), TestDecoder(), variant, TVariantFiles::StreamOffset);
  ResetBitReaders(TestDecoder());
  TestDecoder().NumberLimit = 5167888;
  TestDecoder().NumberBytesLeft = 20;

  // Op 1: copy 115,133 at offset 0 with count byte 0; then the inserts
  // (one flag bit each) and copies of the table.
  EXPECT_EQ(ReadNumber(TestDecoder()), 115133);
  EXPECT_EQ(ReadNumber(TestDecoder()), 0);
  EXPECT_EQ(ReadCountByte(TestDecoder()), 0);
  EXPECT_EQ(ReadNumber(TestDecoder()), -1);
  EXPECT_TRUE(ReadFlagBit(TestDecoder()));
  EXPECT_EQ(ReadNumber(TestDecoder()), 109583);
  EXPECT_EQ(ReadNumber(TestDecoder()), 1);
  EXPECT_EQ(ReadNumber(TestDecoder()), -5);
  EXPECT_TRUE(ReadFlagBit(TestDecoder()));
  EXPECT_EQ(ReadNumber(TestDecoder()), 128856);
  EXPECT_EQ(ReadNumber(TestDecoder()), 5);
  EXPECT_EQ(ReadNumber(TestDecoder()), -6);
  EXPECT_TRUE(ReadFlagBit(TestDecoder()));
  EXPECT_EQ(ReadNumber(TestDecoder()), 4814304);
  EXPECT_EQ(ReadNumber(TestDecoder()), 6);
  EXPECT_EQ(NumberBytesLeft(TestDecoder()), 0);
  // What is left: bit 7 of the flag byte, bits 22 and 23 of the sign stream.
  EXPECT_FALSE(ReadFlagBit(TestDecoder()));
  EXPECT_FALSE(ReadSignBit(TestDecoder()));
  EXPECT_FALSE(ReadSignBit(TestDecoder()));
  EXPECT_EXIT(ReadSignBit(TestDecoder()), testing::ExitedWithCode(1),
              FatalOutput("Internal error occured! (code 30)!"));
}

TEST_F(StreamsTest, ExhaustedStreamsAreInternalErrors) {
  struct TCase {
    const char* Name;
    std::int32_t Limit;
    THandStreams Hand;
    bool CountByte;  // read a count byte instead of a number
    std::string Message;
  };
  const auto internal = [](int code) {
    return "Internal error occured! (code " + std::to_string(code) + ")!";
  };
  const auto hand = [](TBytes numbers, std::vector<bool> signs, std::vector<bool> flags) {
    THandStreams h;
    h.Numbers = std::move(numbers);
    h.Signs = std::move(signs);
    h.Flags = std::move(flags);
    return h;
  };
  const TCase cases[] = {
      {"empty sign stream", 255, hand({1}, {}, {}), false, internal(30)},
      {"flag stream ends at the second extension bit", 65536, hand({1, 2}, {false, true}, {}),
       false, internal(30)},
      {"no first byte", 255, hand({}, {false}, {}), false, internal(40)},
      {"no second byte", 256, hand({1}, {false, true}, {}), false, internal(41)},
      {"no third byte", 65536, hand({1, 2}, {false, true}, {true}), false, internal(42)},
      {"no fourth byte", 16777216, hand({1, 2, 3}, {false, true}, {true, true}), false, internal(43)},
      {"no count byte", 255, hand({}, {}, {}), true, internal(50)},
      // A magnitude of 2^31 fits no signed 32-bit number, negated or not.
      {"magnitude of 2^31", 16777216, hand({0x80, 0, 0, 0}, {true, true}, {true, true}), false,
       "Error, patch corrupted!"},
      {"largest magnitude", 16777216, hand({0xFF, 0xFF, 0xFF, 0xFF}, {false, true}, {true, true}),
       false, "Error, patch corrupted!"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EXIT(
        {
          Start(c.Hand, c.Limit);
          if (c.CountByte) {
            (void)ReadCountByte(TestDecoder());
          } else {
            (void)ReadNumber(TestDecoder());
          }
          std::exit(0);
        },
        testing::ExitedWithCode(1), FatalOutput(c.Message));
  }
  // The stopped runs took their work files with them.
  EXPECT_TRUE(Files.WorkFiles().empty());
}

TEST_F(StreamsTest, BufferingFailures) {
  EXPECT_EXIT(
      {
        TVariantInfo variant;
        Files.WritePatch({TBytes{1, 2}, {}, {}, {}, {}}, variant);
        variant.StreamLength[3] = 1000;  // more than the patch holds
        BufferVariantStreams(Files.Context, TestRun(), TestDecoder(), variant, TVariantFiles::StreamOffset);
        std::exit(0);
      },
      testing::ExitedWithCode(1), FatalOutput("Error, can't buffer patchdata in temporary files!"));
  EXPECT_TRUE(Files.WorkFiles().empty());

  EXPECT_EXIT(
      {
        TVariantInfo variant;
        Files.WritePatch({TBytes{1, 2}, {}, {}, {}, {}}, variant);
        Files.Context.TempDir = Files.Dir.File("missing") + "/";
        BufferVariantStreams(Files.Context, TestRun(), TestDecoder(), variant, TVariantFiles::StreamOffset);
        std::exit(0);
      },
      testing::ExitedWithCode(1), FatalOutput("Error, can't buffer patchdata in temporary files!"));

  EXPECT_EXIT(
      {
        TVariantInfo variant;
        Files.WritePatch({TBytes{1, 2}, {}, {}, {}, {}}, variant);
        variant.StreamLength[1] = 0xFFFFFFF0u;  // the positions would pass 2 GiB
        BufferVariantStreams(Files.Context, TestRun(), TestDecoder(), variant, TVariantFiles::StreamOffset);
        std::exit(0);
      },
      testing::ExitedWithCode(1), FatalOutput("Error, patch corrupted!"));
}

}  // namespace
}  // namespace mendrix
