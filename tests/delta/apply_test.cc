#include "delta/apply.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "checksum/checksum.h"
#include "delta/streams.h"
#include "delta/variant_files.h"
#include "support/test_files.h"

namespace mendrix {
namespace {

using test::Encode;
using test::FatalOutput;
using test::RandomBytes;
using test::ReadFileBytes;
using test::TBytes;
using test::THandStreams;
using test::TestDecoder;
using test::TestRun;
using test::ApplyVariant;
using test::TVariantFiles;
using test::WriteFileBytes;

TBytes Iota(int count) {
  TBytes bytes;
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
  return bytes;
}

TBytes Repeat(int count, std::uint8_t value) {
  return TBytes(static_cast<std::size_t>(count), value);
}

// The variant's own parameters, with the number limit the decoder will form.
struct TShape {
  std::uint16_t GroupLength = 190;
  std::uint8_t VariantFlags = 0;
  std::uint8_t BlockLength = 20;
};

// The work files after a variant: its output and the five stream files.
const std::vector<std::string> OutputAndStreams = {"DWX0", "DWX1", "DWX2",
                                                   "DWX3", "DWX4", "DWX5"};

TDeltaParams ParamsFor(const TShape& shape, std::size_t sourceSize, std::int32_t targetSize) {
  TDeltaParams params;
  params.GroupLength = shape.GroupLength;
  params.VariantFlags = shape.VariantFlags;
  params.BlockLength = shape.BlockLength;
  params.NumberLimit =
      NumberLimitFor(shape.VariantFlags, static_cast<std::int32_t>(sourceSize), targetSize);
  return params;
}

class ApplyTest : public testing::Test {
 protected:
  void SetUp() override { (void)TakeIoStatus(); }
  void TearDown() override {
    EXPECT_EQ(TakeIoStatus(), 0) << "a failure was left pending";
    ReleaseWorkFiles(TestRun(), TestDecoder());
    EXPECT_TRUE(Files.WorkFiles().empty());
  }

  std::string SourcePath() const { return Files.Dir.File("source"); }

  // Writes the source and the streams, applies the variant without a source
  // check and returns the output. The output is DWX0; the stream work files
  // stay for the next variant, which writes over them (so the cases of a
  // table, with streams of every length, also read past a longer stream's
  // leftovers).
  TBytes Apply(const TBytes& source, const TDeltaStreams& streams, const TShape& shape,
               std::int32_t targetSize) {
    WriteFileBytes(SourcePath(), source);
    TVariantInfo variant;
    variant.GroupLength = shape.GroupLength;
    variant.VariantFlags = shape.VariantFlags;
    variant.BlockLength = shape.BlockLength;
    Files.WritePatch(streams, variant);
    std::string outputName;
    EXPECT_TRUE(ApplyVariant(Files.Context, variant, TVariantFiles::StreamOffset, SourcePath(),
                             outputName, false, false, targetSize, TExcludeRange{}));
    EXPECT_EQ(Files.WorkFiles(), OutputAndStreams);
    EXPECT_EQ(outputName, Files.Context.TempDir + "DWX0");
    TBytes output = ReadFileBytes(outputName);
    std::remove(outputName.c_str());
    ForgetCreatedFile(TestRun(), outputName);
    return output;
  }

  TBytes Apply(const TBytes& source, const std::vector<TDeltaOp>& ops, const TShape& shape,
               std::int32_t targetSize) {
    return Apply(source, Encode(ops, ParamsFor(shape, source.size(), targetSize)), shape,
                 targetSize);
  }

  TVariantFiles Files;
};

TEST_F(ApplyTest, RebuildsWhatTheOperationsSay) {
  const TShape addOn{190, 0, 20};
  const TShape addOff{190, VariantAddModeOff, 20};
  struct TCase {
    const char* Name;
    TBytes Source;
    std::vector<TDeltaOp> Ops;
    TShape Shape;
    TBytes Expected;
  };
  using Op = TDeltaOp;
  const TCase cases[] = {
      {"no operations", Iota(100), {}, addOn, {}},
      {"copies count from the end of the previous run",
       Iota(100),
       {Op::Copy(10, 5), Op::Copy(3, -15)},
       addOn,
       {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0, 1, 2}},
      {"GroupLength 1: a count byte before every copy",
       Iota(100),
       {Op::Copy(2, 0, {1}), Op::Copy(2, 10, {10, 20})},
       {1, 0, 20},
       {0, 1, 2 + 1, 12, 13, 14 + 10, 15 + 20}},
      {"GroupLength 0: the first count byte serves every copy",
       Iota(100),
       {Op::Copy(2, 0, {1}), Op::Copy(2, 10, {5})},
       {0, 0, 20},
       {0, 1, 2 + 1, 12, 13, 14 + 5}},
      // The zero takes the countdown below 0, so no count byte comes again.
      {"a zero number below 0 keeps the last count",
       Iota(100),
       {Op::Copy(1, 0, {2}), Op::Zero(), Op::Copy(1, 0, {3})},
       {1, 0, 20},
       {0, 1 + 2, 1, 2 + 3}},
      // Two zeros bring the countdown to exactly 0: a new count byte follows.
      {"zero numbers that close a group",
       Iota(100),
       {Op::Copy(1, 0), Op::Zero(), Op::Zero(), Op::Copy(1, 0, {7})},
       {3, 0, 20},
       {0, 1, 2 + 7}},
      {"add bytes wrap at 256", Iota(100), {Op::Copy(2, 0, {0xFF})}, addOn, {0, 1, 1}},
      {"add mode off writes add bytes as they stand",
       Iota(100),
       {Op::Copy(2, 0, {0xAA})},
       addOff,
       {0, 1, 0xAA}},
      {"a copy from the output, then back into the source",
       Iota(100),
       {Op::Copy(4, 10), Op::Copy(2, 86), Op::Copy(3, -52)},
       addOn,
       {10, 11, 12, 13, 10, 11, 50, 51, 52}},
      {"an empty source: every address is the output",
       {},
       {Op::Insert({1, 2, 3}, true, 20), Op::Copy(3, 0)},
       addOn,
       {1, 2, 3, 1, 2, 3}},
      {"an insert before any copy adds to the bytes at 0",
       Iota(100),
       {Op::Insert({1, 1}, false, 20)},
       addOn,
       {1, 2}},
      {"an insert adds to the bytes after the last run",
       Iota(100),
       {Op::Copy(2, 10), Op::Insert({1, 1, 1}, false, 20)},
       addOff,
       {10, 11, 13, 14, 15}},
      {"two inserts in a row add to the same bytes",
       Iota(100),
       {Op::Copy(2, 10), Op::Insert({1}, false, 20), Op::Insert({2}, false, 20)},
       addOn,
       {10, 11, 13, 14}},
      {"an insert's old bytes follow the add bytes",
       Iota(100),
       {Op::Copy(2, 10, {1, 1}), Op::Insert({5}, false, 20)},
       addOn,
       {10, 11, 13, 14, 19}},
      {"old bytes of a copy from the output come from the output",
       Iota(100),
       {Op::Insert({7, 8, 9}, true, 20), Op::Copy(2, 100, {1})},
       addOn,
       {7, 8, 9, 7, 8, 10}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    // The target size is exactly the result's: the last byte may be written.
    EXPECT_EQ(Apply(c.Source, c.Ops, c.Shape, static_cast<std::int32_t>(c.Expected.size())),
              c.Expected);
  }
}

TEST_F(ApplyTest, CopiesFromTheOutputRepeatItAtADistanceOfAThousand) {
  const TShape shape{190, 0, 255};
  struct TCase {
    int Written;  // literal bytes before the copy
    int Length;   // of the copy, from the first byte of the output
  };
  const TCase cases[] = {{1000, 2500}, {1000, 1000}, {999, 999}, {3000, 1}, {1500, 40000}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Written << " then " << c.Length);
    const TBytes literal = RandomBytes(static_cast<std::size_t>(c.Written), 8);
    TBytes expected = literal;
    for (int i = 0; i < c.Length; ++i) expected.push_back(literal[i % c.Written]);
    const std::vector<TDeltaOp> ops = {TDeltaOp::Insert(literal, true, 255),
                                       TDeltaOp::Copy(c.Length, 0)};
    EXPECT_EQ(Apply({}, ops, shape, static_cast<std::int32_t>(expected.size())), expected);
  }
}

TEST_F(ApplyTest, InsertsAreCutIntoPiecesWithOneFlagEach) {
  // Flags alternate from "add" on, so a wrong cut shows in the bytes. A last
  // one-byte insert (flag "add") checks that no flag bit was left or taken.
  const TShape shape{190, 0, 20};
  struct TCase {
    int Length;
    std::vector<int> Pieces;
  };
  const TCase cases[] = {{5, {5}}, {20, {20}}, {39, {39}}, {40, {20, 20}}, {45, {20, 25}},
                         {61, {20, 20, 21}}};
  const TBytes source = Iota(100);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Length);
    ASSERT_EQ(InsertPieceCount(c.Length, 20), static_cast<int>(c.Pieces.size()));
    TDeltaOp insert = TDeltaOp::Insert(Repeat(c.Length, 100), false, 20);
    TBytes expected;
    int start = 0;
    for (std::size_t k = 0; k < c.Pieces.size(); ++k) {
      const bool literal = k % 2 == 1;
      insert.PieceFlags[k] = literal;
      for (int i = 0; i < c.Pieces[k]; ++i) {
        expected.push_back(static_cast<std::uint8_t>(literal ? 100 : 100 + start + i));
      }
      start += c.Pieces[k];
    }
    expected.push_back(1 + 0);  // the last insert's old byte is the one at 0
    EXPECT_EQ(Apply(source, {insert, TDeltaOp::Insert({1}, false, 20)}, shape,
                    static_cast<std::int32_t>(expected.size())),
              expected);
  }
}

TEST_F(ApplyTest, WorkedExample) {
  // A 5,167,888-byte file with four regions copied from the source and 12
  // bytes inserted between them.
  constexpr std::int32_t FileSize = 5167888;
  const TBytes source = RandomBytes(FileSize, 2024);
  WriteFileBytes(SourcePath(), source);
  THandStreams hand;
  hand.Numbers = {0x01, 0xC1, 0xBD, 0x00, 0x00, 0x01, 0x01, 0xAC, 0x0F, 0x01,
                  0x05, 0x01, 0xF7, 0x58, 0x05, 0x06, 0x49, 0x75, 0xE0, 0x06};
  hand.Inserts = {0x33};
  hand.Inserts.insert(hand.Inserts.end(), 11, 0x90);
  TDeltaStreams streams = hand.Build();
  streams[FlagStream] = {0x7F};
  streams[SignStream] = {0x92, 0x24, 0x09};
  TVariantInfo variant;
  variant.SourceSize = FileSize;
  variant.SourceCrc = CrcUpdate(CrcStart, source.data(), FileSize);
  variant.GroupLength = 190;
  variant.VariantFlags = 2;
  variant.BlockLength = 20;
  Files.WritePatch(streams, variant);

  std::string outputName;
  ASSERT_TRUE(ApplyVariant(Files.Context, variant, TVariantFiles::StreamOffset, SourcePath(),
                           outputName, true, true, FileSize, TExcludeRange{}));
  const TBytes output = ReadFileBytes(outputName);
  ASSERT_EQ(output.size(), static_cast<std::size_t>(FileSize));

  // The regions of the operations: copies of the source at the same
  // addresses, and the inserted bytes between them.
  TBytes expected = source;
  expected[115133] = 0x33;
  std::fill(expected.begin() + 224717, expected.begin() + 224722, 0x90);
  std::fill(expected.begin() + 353578, expected.begin() + 353584, 0x90);
  for (std::int32_t boundary : {115133, 115134, 224717, 224722, 353578, 353584}) {
    EXPECT_EQ(output[boundary - 1], expected[boundary - 1]) << boundary;
    EXPECT_EQ(output[boundary], expected[boundary]) << boundary;
  }
  EXPECT_TRUE(output == expected);
  EXPECT_EQ(Files.WorkFiles(), OutputAndStreams);
  std::remove(outputName.c_str());
  ForgetCreatedFile(TestRun(), outputName);
}

TEST_F(ApplyTest, SourceCheckWithSilentSetReturnsFalseAndMakesNothing) {
  const TBytes source = Iota(100);
  TBytes changedInRange = source;
  changedInRange[30] = 0xEE;
  TVariantInfo variant;
  variant.SourceSize = 100;
  variant.GroupLength = 190;
  variant.BlockLength = 20;
  const TExcludeRange exclude{25, 10};
  TBytes covered(source.begin(), source.begin() + 25);
  covered.insert(covered.end(), source.begin() + 35, source.end());
  variant.SourceCrc = CrcUpdate(CrcStart, covered.data(), static_cast<std::int32_t>(covered.size()));
  Files.WritePatch(Encode({TDeltaOp::Copy(100, 0)}, ParamsFor({}, 100, 100)), variant);

  struct TCase {
    const char* Name;
    bool WriteSource;
    TBytes Source;
    bool Applies;
  };
  TBytes changedOutside = source;
  changedOutside[40] = 0xEE;
  const TCase cases[] = {
      {"no source file", false, {}, false},
      {"another size", true, Iota(99), false},
      {"another checksum", true, changedOutside, false},
      {"a change in the range left out", true, changedInRange, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::remove(SourcePath().c_str());
    if (c.WriteSource) WriteFileBytes(SourcePath(), c.Source);
    std::string outputName = "unchanged";
    EXPECT_EQ(ApplyVariant(Files.Context, variant, TVariantFiles::StreamOffset, SourcePath(),
                           outputName, true, true, 100, exclude),
              c.Applies);
    if (c.Applies) {
      EXPECT_EQ(ReadFileBytes(outputName), c.Source);
      std::remove(outputName.c_str());
      ForgetCreatedFile(TestRun(), outputName);
      ReleaseWorkFiles(TestRun(), TestDecoder());
    } else {
      EXPECT_EQ(outputName, "unchanged");
    }
    EXPECT_TRUE(Files.WorkFiles().empty());
  }
}

TEST_F(ApplyTest, FailuresStopTheRunAndLeaveNoWorkFiles) {
  using Op = TDeltaOp;
  const TShape addOn{190, 0, 20};
  const TShape addOff{190, VariantAddModeOff, 20};
  const char* cannotWrite = "Error, can't write patched file!";
  const char* cannotReadSource = "Error, can't read from source file!";
  const char* cannotReadPatch = "Error, can't read from patchfile?!";
  const char* corrupted = "Error, patch corrupted!";
  const auto hand = [](TBytes numbers, std::vector<bool> signs, TBytes inserts, TBytes adds) {
    THandStreams h;
    h.Numbers = std::move(numbers);
    h.Signs = std::move(signs);
    h.Flags = {true, true, true};
    h.Inserts = std::move(inserts);
    h.Adds = std::move(adds);
    return h.Build();
  };
  struct TCase {
    const char* Name;
    TBytes Source;
    TDeltaStreams Streams;
    TShape Shape;
    std::int32_t TargetSize;
    const char* Message;
  };
  const TDeltaStreams none;
  std::vector<TCase> cases = {
      {"a copy at distance 999 longer than 999", {}, none, addOn, 5000, cannotWrite},
      {"a copy past the source's end", Iota(100), none, addOn, 5000, cannotWrite},
      {"a copy at a negative address", Iota(100), none, addOn, 5000, cannotWrite},
      {"a copy from the output past what is written", Iota(100), none, addOn, 5000, cannotWrite},
      {"add bytes after a copy to the source's end", Iota(100), none, addOn, 5000,
       cannotReadSource},
      {"the same with add mode off", Iota(100), none, addOff, 5000, cannotReadSource},
      {"insert old bytes past the source's end", Iota(100), none, addOn, 5000, cannotReadSource},
      {"insert old bytes past the written output", {}, none, addOn, 5000,
       "Error, can't access allready written parts!"},
      // Numbers of one byte each (limit 255): a sign bit and a byte.
      {"the insert stream ends", Iota(100), hand({5}, {true}, {1, 2}, {}), addOn, 200,
       cannotReadPatch},
      {"the add stream ends", Iota(100), hand({1, 0, 2}, {false, false}, {}, {9}), addOn, 200,
       cannotReadPatch},
      {"the number stream ends at a count byte", Iota(100), hand({1, 0}, {false, false}, {}, {}),
       addOn, 200, "Internal error occured! (code 50)!"},
      {"a copy past the target size", Iota(100), none, addOn, 9, cannotWrite},
      {"an insert past the target size", Iota(100), none, addOn, 4, cannotWrite},
      {"add bytes past the target size", Iota(100), none, addOn, 2, cannotWrite},
      {"an insert with BlockLength 0", Iota(100), hand({3}, {true}, {1, 2, 3}, {}), {190, 0, 0},
       200, corrupted},
      {"a copy address past 2^31", Iota(100), none, addOn, 0x7FFFFFF0, corrupted},
      // Source size plus target size passes 2^31: the limit stays at four
      // bytes instead of wrapping round to one.
      {"the same with the limit a sum", Iota(100), none, {190, VariantLimitIsSum, 20}, 0x7FFFFFF0,
       corrupted},
  };
  // Cases built with the encoder, in the order of the table.
  const std::vector<std::vector<TDeltaOp>> ops = {
      {Op::Insert(Repeat(999, 1), true, 20), Op::Copy(1000, 0)},
      {Op::Copy(10, 95)},
      {Op::Copy(5, -1)},
      {Op::Insert({1, 2, 3}, true, 20), Op::Copy(4, 100)},
      {Op::Copy(10, 90, {1})},
      {Op::Copy(10, 90, {1})},
      {Op::Copy(2, 98), Op::Insert({1}, false, 20)},
      {Op::Insert({1}, true, 20), Op::Copy(1, 0), Op::Insert(Repeat(5, 1), false, 20)},
      {}, {}, {},
      {Op::Copy(10, 0)},
      {Op::Insert(Repeat(5, 1), true, 20)},
      {Op::Copy(2, 0, {1})},
      {},
      {Op::Copy(10, 0), Op::Copy(1, 0x7FFFFFF8)},
      {Op::Copy(10, 0), Op::Copy(1, 0x7FFFFFF8)},
  };
  ASSERT_EQ(ops.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (!ops[i].empty()) {
      cases[i].Streams =
          Encode(ops[i], ParamsFor(cases[i].Shape, cases[i].Source.size(), cases[i].TargetSize));
    }
  }

  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    WriteFileBytes(SourcePath(), c.Source);
    TVariantInfo variant;
    variant.GroupLength = c.Shape.GroupLength;
    variant.VariantFlags = c.Shape.VariantFlags;
    variant.BlockLength = c.Shape.BlockLength;
    Files.WritePatch(c.Streams, variant);
    EXPECT_EXIT(
        {
          std::string outputName;
          (void)ApplyVariant(Files.Context, variant, TVariantFiles::StreamOffset, SourcePath(),
                             outputName, false, false, c.TargetSize, TExcludeRange{});
          std::exit(0);
        },
        testing::ExitedWithCode(1), FatalOutput(c.Message));
    EXPECT_TRUE(Files.WorkFiles().empty());
  }
}

TEST_F(ApplyTest, SourceFailuresWithSilentClear) {
  TVariantInfo variant;
  variant.SourceSize = 100;
  Files.WritePatch({}, variant);
  const std::string path = SourcePath();
  EXPECT_EXIT(
      {
        std::string outputName;
        (void)ApplyVariant(Files.Context, variant, TVariantFiles::StreamOffset, path, outputName,
                           true, false, 100, TExcludeRange{});
      },
      testing::ExitedWithCode(1),
      FatalOutput("\r\nError, can't open \"" + path + "\" for patching!"));

  WriteFileBytes(path, Iota(99));
  EXPECT_EXIT(
      {
        std::string outputName;
        (void)ApplyVariant(Files.Context, variant, TVariantFiles::StreamOffset, path, outputName,
                           true, false, 100, TExcludeRange{});
      },
      testing::ExitedWithCode(1),
      FatalOutput("Error, this patch is not applicable to \"" + path + "\"."));
  EXPECT_TRUE(Files.WorkFiles().empty());
}

// The operations' meaning, byte by byte, on whole vectors: the output as the
// copy and insert loop must write it, whatever the buffering.
struct TModel {
  const TBytes& Source;
  TShape Shape;
  TBytes Out;
  std::int64_t CopyPosition = 0;
  std::int64_t CopyLength = 0;
  std::int64_t AddCount = 0;
  std::int64_t Countdown = 0;

  std::int64_t SourceSize() const { return static_cast<std::int64_t>(Source.size()); }
  bool OldFromSource() const { return CopyPosition < SourceSize(); }
  std::uint8_t At(std::int64_t a) const {
    return a < SourceSize() ? Source[a] : Out[a - SourceSize()];
  }
  // Whether n old bytes at a can be read when outSize bytes are written.
  bool OldReadable(std::int64_t a, std::int64_t n, std::int64_t outSize) const {
    if (OldFromSource()) return a >= 0 && a + n <= SourceSize();
    return a - SourceSize() >= 0 && a - SourceSize() + n <= outSize;
  }
  void Apply(const TDeltaOp& op) {
    if (op.Kind == TOpKind::Zero) {
      --Countdown;
    } else if (op.Kind == TOpKind::Copy) {
      std::int64_t position = CopyPosition + CopyLength + op.Offset;
      if (Countdown == 0) {
        AddCount = static_cast<std::int64_t>(op.AddBytes.size());
        Countdown = Shape.GroupLength;
      }
      --Countdown;
      CopyPosition = position;
      CopyLength = op.Length;
      for (std::int64_t i = 0; i < op.Length; ++i) Out.push_back(At(position + i));
      TBytes old;
      for (std::int64_t i = 0; i < AddCount; ++i) old.push_back(At(position + op.Length + i));
      for (std::int64_t i = 0; i < AddCount; ++i) {
        bool addMode = (Shape.VariantFlags & VariantAddModeOff) == 0;
        Out.push_back(static_cast<std::uint8_t>(op.AddBytes[i] + (addMode ? old[i] : 0)));
      }
    } else {
      const std::int64_t block = Shape.BlockLength;
      const auto length = static_cast<std::int64_t>(op.InsertBytes.size());
      const std::int64_t oldStart = CopyPosition + CopyLength + AddCount;
      std::size_t k = 0;
      for (std::int64_t start = 0;; start += block) {
        std::int64_t rest = length - start;
        std::int64_t piece = rest >= 2 * block ? block : rest;
        TBytes bytes(op.InsertBytes.begin() + start, op.InsertBytes.begin() + start + piece);
        if (!op.PieceFlags[k++]) {
          for (std::int64_t i = 0; i < piece; ++i) bytes[i] += At(oldStart + start + i);
        }
        Out.insert(Out.end(), bytes.begin(), bytes.end());
        if (rest < 2 * block) break;
      }
    }
  }
};

// Random operations that are all valid for the model's state.
TDeltaOp RandomOp(TModel& model, std::mt19937& random) {
  auto uniform = [&random](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random);
  };
  const std::int64_t written = static_cast<std::int64_t>(model.Out.size());
  const std::int64_t sourceSize = model.SourceSize();
  const std::int64_t kind = uniform(0, 99);
  if (kind < 5) return TDeltaOp::Zero();
  if (kind < 65 && (sourceSize > 300 || written >= 2000)) {
    std::int64_t addCount = model.Countdown == 0 ? (uniform(0, 2) == 0 ? 0 : uniform(1, 255))
                                                 : model.AddCount;
    std::int64_t length = uniform(0, 3) == 0 ? uniform(1, 200000) : uniform(1, 400);
    std::int64_t position = 0;
    if (written < 2000 || (sourceSize > 300 && uniform(0, 1) == 0)) {
      length = std::min(length, sourceSize - addCount);
      position = uniform(0, sourceSize - addCount - length);
    } else {
      position = sourceSize + written - uniform(1000, written);  // overlapping runs included
    }
    TBytes adds(static_cast<std::size_t>(addCount));
    for (auto& b : adds) b = static_cast<std::uint8_t>(uniform(0, 255));
    return TDeltaOp::Copy(static_cast<std::int32_t>(length),
                          static_cast<std::int32_t>(position - model.CopyPosition - model.CopyLength),
                          adds);
  }
  const std::int64_t length = uniform(0, 3) == 0 ? uniform(1, 5000) : uniform(1, 30);
  TDeltaOp op = TDeltaOp::Insert(RandomBytes(static_cast<std::size_t>(length),
                                             static_cast<std::uint32_t>(random())),
                                 true, model.Shape.BlockLength);
  const std::int64_t block = model.Shape.BlockLength;
  const std::int64_t oldStart = model.CopyPosition + model.CopyLength + model.AddCount;
  std::size_t k = 0;
  for (std::int64_t start = 0;; start += block) {
    std::int64_t rest = length - start;
    std::int64_t piece = rest >= 2 * block ? block : rest;
    // Old bytes on the output side must be written before the piece.
    op.PieceFlags[k++] =
        uniform(0, 1) == 0 || !model.OldReadable(oldStart + start, piece, written + start);
    if (rest < 2 * block) break;
  }
  return op;
}

TEST_F(ApplyTest, MatchesTheOperationsOnLongRandomVariants) {
  // Long enough to run through every buffer many times: copies that start
  // and end anywhere in buffered and flushed output, old bytes on both sides.
  // A small source is read whole at once; a large one through its pages,
  // whose slots then serve several parts of it in turn.
  const TBytes small = RandomBytes(300000, 76);
  const TBytes large = RandomBytes(5000000, 77);
  struct TCase {
    const TBytes& Source;
    TShape Shape;
  };
  const TCase cases[] = {{large, {190, 0, 20}},
                         {large, {1, VariantAddModeOff, 255}},
                         {small, {0, 1, 1}},
                         {small, {3, 3, 7}}};
  std::uint32_t seed = 1;
  for (const auto& [source, shape] : cases) {
    SCOPED_TRACE(testing::Message() << "source " << source.size() << ", GroupLength "
                                    << shape.GroupLength);
    std::mt19937 random(seed++);
    TModel model{source, shape, {}};
    std::vector<TDeltaOp> ops;
    while (model.Out.size() < 3000000) {
      ops.push_back(RandomOp(model, random));
      model.Apply(ops.back());
    }
    const auto targetSize = static_cast<std::int32_t>(model.Out.size());
    const TBytes output = Apply(source, ops, shape, targetSize);
    ASSERT_EQ(output.size(), model.Out.size());
    EXPECT_TRUE(output == model.Out);
  }
}

}  // namespace
}  // namespace mendrix
