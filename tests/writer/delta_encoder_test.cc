#include "writer/delta_encoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mendrix {
namespace {

using TBytes = std::vector<std::uint8_t>;

// Bits of a stream, bit 0 of each byte first, as the decoder takes them.
std::vector<bool> BitsOf(const TBytes& bytes) {
  std::vector<bool> bits;
  for (const std::uint8_t byte : bytes) {
    for (int i = 0; i < 8; ++i) bits.push_back(((byte >> i) & 1) != 0);
  }
  return bits;
}

TEST(EncodeDelta, ReproducesTheReferenceVariant) {
  // A 5,167,888-byte file rebuilt from one of the same size by four copies
  // and three literal inserts.
  TDeltaParams params;
  params.GroupLength = 190;
  params.VariantFlags = VariantAddModeOff;
  params.BlockLength = 20;
  params.NumberLimit = NumberLimitFor(params.VariantFlags, 5167888, 5167888);
  ASSERT_EQ(params.NumberLimit, 5167888);

  const std::vector<TDeltaOp> ops = {
      TDeltaOp::Copy(115133, 0),  TDeltaOp::Insert({0x33}, true, 20),
      TDeltaOp::Copy(109583, 1),  TDeltaOp::Insert(TBytes(5, 0x90), true, 20),
      TDeltaOp::Copy(128856, 5),  TDeltaOp::Insert(TBytes(6, 0x90), true, 20),
      TDeltaOp::Copy(4814304, 6),
  };
  TDeltaStreams streams;
  std::string error;
  ASSERT_TRUE(EncodeDelta(ops, params, streams, error)) << error;

  EXPECT_EQ(streams[NumberStream],
            (TBytes{0x01, 0xC1, 0xBD, 0x00, 0x00, 0x01, 0x01, 0xAC, 0x0F, 0x01,
                    0x05, 0x01, 0xF7, 0x58, 0x05, 0x06, 0x49, 0x75, 0xE0, 0x06}));
  EXPECT_EQ(streams[FlagStream], (TBytes{0x7F}));
  EXPECT_EQ(streams[SignStream], (TBytes{0x92, 0x24, 0x09}));
  TBytes inserts = {0x33};
  inserts.insert(inserts.end(), 11, 0x90);
  EXPECT_EQ(streams[InsertStream], inserts);
  EXPECT_TRUE(streams[AddStream].empty());
}

TEST(EncodeDelta, NumberWidthFollowsNumberLimit) {
  // One copy of Length with offset 0 and no add bytes; the count byte 00
  // follows the two numbers.
  struct TCase {
    const char* Name;
    std::int32_t Limit;
    std::int32_t Length;
    TBytes Numbers;
    std::vector<bool> SignBits;
    std::vector<bool> FlagBits;
  };
  const std::vector<TCase> cases = {
      {"255: one byte, no extension bits", 255, 200, {200, 0, 0}, {0, 0}, {}},
      {"256: extension bit after every first byte", 256, 200, {200, 0, 0}, {0, 0, 0, 0}, {}},
      {"256: two bytes", 256, 0x1234, {0x12, 0x34, 0, 0}, {0, 1, 0, 0}, {}},
      {"65535: no second extension bit", 65535, 0xFFFF, {0xFF, 0xFF, 0, 0}, {0, 1, 0, 0}, {}},
      {"65536: second extension bit in the flag stream",
       65536,
       0xFFFF,
       {0xFF, 0xFF, 0, 0},
       {0, 1, 0, 0},
       {0}},
      {"65536: three bytes", 65536, 0x10000, {1, 0, 0, 0, 0}, {0, 1, 0, 0}, {1}},
      {"16777215: no third extension bit",
       16777215,
       0xFFFFFF,
       {0xFF, 0xFF, 0xFF, 0, 0},
       {0, 1, 0, 0},
       {1}},
      {"16777216: third extension bit",
       16777216,
       0xFFFFFF,
       {0xFF, 0xFF, 0xFF, 0, 0},
       {0, 1, 0, 0},
       {1, 0}},
      {"16777216: four bytes",
       16777216,
       0x7FFFFFFF,
       {0x7F, 0xFF, 0xFF, 0xFF, 0, 0},
       {0, 1, 0, 0},
       {1, 1}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDeltaParams params;
    params.NumberLimit = c.Limit;
    TDeltaStreams streams;
    std::string error;
    ASSERT_TRUE(EncodeDelta({TDeltaOp::Copy(c.Length, 0)}, params, streams, error)) << error;
    EXPECT_EQ(streams[NumberStream], c.Numbers);
    std::vector<bool> signBits = BitsOf(streams[SignStream]);
    signBits.resize(c.SignBits.size());
    EXPECT_EQ(signBits, c.SignBits);
    EXPECT_EQ(streams[FlagStream].size(), (c.FlagBits.size() + 7) / 8);
    std::vector<bool> flagBits = BitsOf(streams[FlagStream]);
    flagBits.resize(c.FlagBits.size());
    EXPECT_EQ(flagBits, c.FlagBits);
  }
}

TEST(EncodeDelta, CountBytesFollowTheDecoderCountdown) {
  struct TCase {
    const char* Name;
    std::uint16_t GroupLength;
    std::vector<TDeltaOp> Ops;
    TBytes Numbers;  // NumberLimit 255: every number is one byte
    TBytes Adds;
  };
  const std::vector<TCase> cases = {
      {"group of 1: a count byte before every copy's add bytes",
       1,
       {TDeltaOp::Copy(3, 0, {7}), TDeltaOp::Copy(4, 1, {})},
       {3, 0, 1, 4, 1, 0},
       {7}},
      {"group of 2: the second copy shares the first count",
       2,
       {TDeltaOp::Copy(3, 0, {7}), TDeltaOp::Copy(4, 0, {8}), TDeltaOp::Copy(5, 0, {})},
       {3, 0, 1, 4, 0, 5, 0, 0},
       {7, 8}},
      {"group of 0: the first count byte serves every copy",
       0,
       {TDeltaOp::Copy(3, 0, {1, 2}), TDeltaOp::Copy(4, 0, {3, 4}), TDeltaOp::Copy(5, 0, {5, 6})},
       {3, 0, 2, 4, 0, 5, 0},
       {1, 2, 3, 4, 5, 6}},
      {"a zero at countdown 0 ends count bytes; add count stays 0",
       3,
       {TDeltaOp::Zero(), TDeltaOp::Copy(3, 0), TDeltaOp::Copy(4, 0)},
       {0, 3, 0, 4, 0},
       {}},
      {"a zero counts as a copy of the group",
       2,
       {TDeltaOp::Copy(3, 0, {9}), TDeltaOp::Zero(), TDeltaOp::Copy(4, 0, {})},
       {3, 0, 1, 0, 4, 0, 0},
       {9}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDeltaParams params;
    params.GroupLength = c.GroupLength;
    params.NumberLimit = 255;
    TDeltaStreams streams;
    std::string error;
    ASSERT_TRUE(EncodeDelta(c.Ops, params, streams, error)) << error;
    EXPECT_EQ(streams[NumberStream], c.Numbers);
    EXPECT_EQ(streams[AddStream], c.Adds);
  }
}

TEST(EncodeDelta, InsertPiecesTakeOneFlagEach) {
  struct TCase {
    std::int32_t Length;
    std::int32_t Pieces;
  };
  // BlockLength 20: the last piece takes the rest, up to 39 bytes.
  const std::vector<TCase> cases = {{1, 1}, {5, 1}, {20, 1}, {39, 1}, {40, 2}, {45, 2}, {60, 3}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Length);
    EXPECT_EQ(InsertPieceCount(c.Length, 20), c.Pieces);
    TDeltaOp insert = TDeltaOp::Insert(TBytes(static_cast<std::size_t>(c.Length), 1), false, 20);
    insert.PieceFlags.back() = true;
    TDeltaParams params;
    params.NumberLimit = 255;
    TDeltaStreams streams;
    std::string error;
    ASSERT_TRUE(EncodeDelta({insert}, params, streams, error)) << error;
    std::vector<bool> expected(static_cast<std::size_t>(c.Pieces), false);
    expected.back() = true;
    std::vector<bool> flags = BitsOf(streams[FlagStream]);
    flags.resize(expected.size());
    EXPECT_EQ(flags, expected);
    EXPECT_EQ(streams[InsertStream].size(), static_cast<std::size_t>(c.Length));
    EXPECT_EQ(BitsOf(streams[SignStream])[0], true);  // negative number
  }
}

TEST(EncodeDelta, RefusesWhatTheDecoderCannotRead) {
  TDeltaOp fewFlags = TDeltaOp::Insert(TBytes(40, 0), true, 20);
  fewFlags.PieceFlags.pop_back();
  struct TCase {
    const char* Name;
    std::int32_t Limit;
    std::uint8_t BlockLength;
    std::vector<TDeltaOp> Ops;
  };
  const std::vector<TCase> cases = {
      {"copy length beyond one byte", 255, 20, {TDeltaOp::Copy(256, 0)}},
      {"offset beyond two bytes", 65535, 20, {TDeltaOp::Copy(1, -65536)}},
      {"offset of -2^31", 0x7FFFFFFF, 20, {TDeltaOp::Copy(1, INT32_MIN)}},
      {"empty copy", 255, 20, {TDeltaOp::Copy(0, 0)}},
      {"negative copy", 255, 20, {TDeltaOp::Copy(-3, 0)}},
      {"more than 255 add bytes", 255, 20, {TDeltaOp::Copy(1, 0, TBytes(256, 0))}},
      {"add count differs inside a group",
       255,
       20,
       {TDeltaOp::Copy(1, 0, {1}), TDeltaOp::Copy(1, 0, {1, 2})}},
      {"insert with BlockLength 0", 255, 0, {TDeltaOp::Insert({1}, true, 20)}},
      {"empty insert", 255, 20, {TDeltaOp::Insert({}, true, 20)}},
      {"insert longer than one byte allows", 255, 20, {TDeltaOp::Insert(TBytes(256, 0), true, 20)}},
      {"piece flags do not match the cut", 255, 20, {fewFlags}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDeltaParams params;
    params.GroupLength = 10;
    params.NumberLimit = c.Limit;
    params.BlockLength = c.BlockLength;
    TDeltaStreams streams;
    std::string error;
    EXPECT_FALSE(EncodeDelta(c.Ops, params, streams, error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(NumberLimitFor, SumOrLarger) {
  EXPECT_EQ(NumberLimitFor(0, 100, 300), 300);
  EXPECT_EQ(NumberLimitFor(VariantAddModeOff, 300, 100), 300);
  EXPECT_EQ(NumberLimitFor(VariantLimitIsSum, 100, 300), 400);
  EXPECT_EQ(NumberLimitFor(VariantLimitIsSum, 0x7FFFFFFF, 0x7FFFFFFF), 0x7FFFFFFF);
}

}  // namespace
}  // namespace mendrix
