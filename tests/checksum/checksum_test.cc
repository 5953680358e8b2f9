#include "checksum/checksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "checksum/crc_fold.h"
#include "support/test_files.h"

namespace mendrix {
namespace {

using test::RandomBytes;
using test::TTempDir;
using test::WriteFileBytes;
using TBytes = std::vector<std::uint8_t>;

TBytes BytesOf(const std::string& text) { return TBytes(text.begin(), text.end()); }

// The checksum one bit at a time, straight from the polynomial.
std::uint32_t BitwiseCrc(std::uint32_t value, const TBytes& bytes) {
  for (std::uint8_t byte : bytes) {
    value ^= byte;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1u) != 0 ? 0xEDB88320u : 0);
  }
  return value;
}

class FileChecksumTest : public testing::Test {
 protected:
  void SetUp() override { (void)TakeIoStatus(); }

  std::uint32_t ChecksumOf(const TBytes& bytes, std::uint32_t excludeStart,
                           std::uint32_t excludeLength) {
    WriteFileBytes(Dir.File("f"), bytes);
    TDiskFile file;
    OpenForReading(file, Dir.File("f"));
    std::uint32_t value = FileChecksum(file, excludeStart, excludeLength);
    CloseDiskFile(file);
    EXPECT_EQ(TakeIoStatus(), 0);
    return value;
  }

  TTempDir Dir;
};

TEST(CrcUpdate, KnownValues) {
  const std::string digits = "123456789";
  // The usual CRC-32 of "123456789" is 0xCBF43926; without the final
  // inversion it is the complement.
  EXPECT_EQ(CrcUpdate(CrcStart, digits.data(), 9), ~0xCBF43926u);
  EXPECT_EQ(CrcUpdate(CrcStart, "abc", 3), 0xCADBBE3Du);
  EXPECT_EQ(CrcUpdate(CrcStart, "abef", 4), 0xAA29F444u);
  EXPECT_EQ(CrcUpdate(0x12345678u, "x", 0), 0x12345678u);
  EXPECT_EQ(CrcUpdate(0x12345678u, "x", -5), 0x12345678u);
  EXPECT_EQ(CrcTable[2], 0xEE0E612Cu);
  EXPECT_EQ(CrcTable[3], 0x990951BAu);
}

TEST(CrcUpdate, MatchesTheBitwiseDefinitionAtEveryLengthAndAlignment) {
  // Long runs take another path than short ones and than their tails.
  const TBytes bytes = RandomBytes(300, 11);
  for (int start = 0; start < 16; ++start) {
    for (int length = 0; start + length <= 300; ++length) {
      TBytes part(bytes.begin() + start, bytes.begin() + start + length);
      ASSERT_EQ(CrcUpdate(CrcStart, part.data(), length), BitwiseCrc(CrcStart, part))
          << "start " << start << " length " << length;
    }
  }
}

TEST(CrcUpdate, MatchesTheBitwiseDefinitionOnALongRun) {
  const TBytes bytes = RandomBytes(1 << 20, 12);
  EXPECT_EQ(CrcUpdate(CrcStart, bytes.data(), 1 << 20), BitwiseCrc(CrcStart, bytes));
  EXPECT_EQ(CrcUpdate(0, bytes.data(), 1 << 20), BitwiseCrc(0, bytes));
}

TEST(CrcFold, EveryFoldThisProcessorHasMatchesTheBitwiseDefinition) {
  // The wide fold takes 256 bytes a step and falls back to the narrow one
  // below that; lengths past two steps and every tail of 64 and of 16 bytes
  // reach each part of both.
  const TBytes bytes = RandomBytes(1200, 13);
  const struct {
    const char* name;
    TCrcFold fold;
  } folds[] = {{"narrow", ProcessorCrcFold(false)}, {"widest", ProcessorCrcFold(true)}};
  for (const auto& [name, fold] : folds) {
    if (fold == nullptr) continue;
    for (int start = 0; start < 4; ++start) {
      for (int length = static_cast<int>(CrcFoldPiece); start + length <= 1200; length += 16) {
        TBytes part(bytes.begin() + start, bytes.begin() + start + length);
        ASSERT_EQ(fold(0x9E3779B9u, part.data(), length), BitwiseCrc(0x9E3779B9u, part))
            << name << " start " << start << " length " << length;
      }
    }
  }
}

TEST_F(FileChecksumTest, ExcludedRanges) {
  const TBytes abcdef = BytesOf("abcdef");
  struct TCase {
    const char* Name;
    TBytes Bytes;
    std::uint32_t ExcludeStart;
    std::uint32_t ExcludeLength;
    TBytes Covered;  // the bytes the value must stand for
  };
  const TCase cases[] = {
      {"empty file", {}, 0, 0, {}},
      {"whole file", BytesOf("abc"), 0, 0, BytesOf("abc")},
      {"middle left out", abcdef, 2, 2, BytesOf("abef")},
      {"length 0 ignores the start", abcdef, 4, 0, abcdef},
      {"length 0 with a start past the end", abcdef, 1000, 0, abcdef},
      {"head left out", abcdef, 0, 4, BytesOf("ef")},
      {"range up to the end", abcdef, 3, 3, BytesOf("abc")},
      {"range past the end", abcdef, 3, 100, BytesOf("abc")},
      {"range whose end passes 4 GiB", abcdef, 3, 0xFFFFFFFFu, BytesOf("abc")},
      {"everything left out", abcdef, 0, 6, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(ChecksumOf(c.Bytes, c.ExcludeStart, c.ExcludeLength),
              BitwiseCrc(CrcStart, c.Covered));
  }
  EXPECT_EQ(ChecksumOf({}, 0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(ChecksumOf(abcdef, 2, 2), 0xAA29F444u);
}

TEST_F(FileChecksumTest, SizesAroundThePieceSizesMatchOnePiece) {
  // 1001 and 1002 straddle the historical piece size; the others straddle the
  // file layer's transfers and the reader's own buffer.
  for (std::size_t size : {1000u, 1001u, 1002u, 60001u, 119999u, 120000u, 120001u, 300017u}) {
    const TBytes bytes = RandomBytes(size, static_cast<std::uint32_t>(size));
    EXPECT_EQ(ChecksumOf(bytes, 0, 0),
              CrcUpdate(CrcStart, bytes.data(), static_cast<std::int32_t>(size)))
        << size;
  }
  const TBytes bytes = RandomBytes(250000, 3);
  TBytes covered(bytes.begin(), bytes.begin() + 70000);
  covered.insert(covered.end(), bytes.begin() + 190000, bytes.end());
  EXPECT_EQ(ChecksumOf(bytes, 70000, 120000), BitwiseCrc(CrcStart, covered));
}

TEST_F(FileChecksumTest, StartPastTheEndIsHarmless) {
  // The value is free here; it must come back without a hang or a crash and
  // leave no failure behind.
  const TBytes bytes = RandomBytes(5000, 1);
  (void)ChecksumOf(bytes, 0x7FFFFFF0u, 20);
  (void)ChecksumOf(bytes, 0xFFFFFFF0u, 0xFFFFFFF0u);
  (void)ChecksumOf(bytes, 6000, 1);
}

TEST_F(FileChecksumTest, AFailureLeftPendingBeforeDoesNotChangeTheValue) {
  WriteFileBytes(Dir.File("f"), BytesOf("abc"));
  TDiskFile file;
  OpenForReading(file, Dir.File("f"));
  SeekTo(file, -1);  // fails and stays pending
  EXPECT_EQ(FileChecksum(file, 0, 0), 0xCADBBE3Du);
  CloseDiskFile(file);
  EXPECT_EQ(TakeIoStatus(), 0);
}

}  // namespace
}  // namespace mendrix
