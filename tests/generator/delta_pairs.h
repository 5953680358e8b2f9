// What the tests of the generator's deltas share: a decoder of their own,
// written from the rules of the copy and insert loop and not from the
// planner, and source and target pairs that exercise the matcher and the
// planner.
#ifndef MENDRIX_TESTS_GENERATOR_DELTA_PAIRS_H_
#define MENDRIX_TESTS_GENERATOR_DELTA_PAIRS_H_

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/test_files.h"
#include "writer/delta_encoder.h"

namespace mendrix::test {

using TBytes = std::vector<std::uint8_t>;

// A reader of one stream: bytes in order, or bits from bit 0 of each byte.
struct TStreamReader {
  const TBytes& Bytes;
  std::size_t Position = 0;
  int BitIndex = 0;
  std::uint8_t Current = 0;

  bool Byte(std::uint8_t& value) {
    if (Position >= Bytes.size()) return false;
    value = Bytes[Position++];
    return true;
  }
  bool Bit(bool& bit) {
    if (BitIndex == 0 && !Byte(Current)) return false;
    bit = (Current >> BitIndex & 1) != 0;
    BitIndex = (BitIndex + 1) % 8;
    return true;
  }
};

// Rebuilds a target of targetSize bytes from source and a variant's
// streams. False with a reason when the streams ask for anything the
// applier would refuse: a read outside the source or the output written so
// far, output past targetSize, an exhausted stream, a short result.
inline bool Decode(const TBytes& source, const TDeltaParams& params, const TDeltaStreams& streams,
            std::int64_t targetSize, TBytes& out, std::string& why) {
  const std::int64_t sourceSize = static_cast<std::int64_t>(source.size());
  const std::int64_t limit = (params.VariantFlags & 1) != 0 ? sourceSize + targetSize
                                                            : std::max(sourceSize, targetSize);
  const bool addMode = (params.VariantFlags & 2) == 0;
  TStreamReader numbers{streams[NumberStream]};
  TStreamReader flags{streams[FlagStream]};
  TStreamReader signs{streams[SignStream]};
  TStreamReader inserts{streams[InsertStream]};
  TStreamReader adds{streams[AddStream]};
  out.clear();
  auto fail = [&](const std::string& reason) {
    why = reason + " at output " + std::to_string(out.size());
    return false;
  };
  auto readNumber = [&](std::int64_t& value) {
    bool negative = false;
    bool more = false;
    std::uint8_t byte = 0;
    if (!signs.Bit(negative) || !numbers.Byte(byte)) return false;
    std::int64_t magnitude = byte;
    const std::int64_t bounds[3] = {0xFF, 0xFFFF, 0xFFFFFF};
    for (int k = 0; k < 3 && limit > bounds[k]; ++k) {
      if (!(k == 0 ? signs.Bit(more) : flags.Bit(more))) return false;
      if (!more) break;
      if (!numbers.Byte(byte)) return false;
      magnitude = magnitude << 8 | byte;
    }
    value = negative ? -magnitude : magnitude;
    return true;
  };
  // Old bytes come from the side of the last copy's start.
  std::int64_t copyPosition = 0;
  std::int64_t copyLength = 0;
  std::int64_t addCount = 0;
  std::int64_t countdown = 0;
  auto oldByte = [&](std::int64_t address, std::uint8_t& value) {
    if (copyPosition < sourceSize) {
      if (address < 0 || address >= sourceSize) return false;
      value = source[address];
    } else {
      if (address - sourceSize >= static_cast<std::int64_t>(out.size())) return false;
      value = out[address - sourceSize];
    }
    return true;
  };
  auto append = [&](std::uint8_t value) {
    if (static_cast<std::int64_t>(out.size()) >= targetSize) return false;
    out.push_back(value);
    return true;
  };
  while (numbers.Position < numbers.Bytes.size()) {
    std::int64_t e = 0;
    if (!readNumber(e)) return fail("number stream ends inside a number");
    if (e == 0) {
      --countdown;
    } else if (e > 0) {
      std::int64_t offset = 0;
      if (!readNumber(offset)) return fail("no copy offset");
      const std::int64_t address = copyPosition + copyLength + offset;
      if (countdown == 0) {
        std::uint8_t count = 0;
        if (!numbers.Byte(count)) return fail("no count byte");
        addCount = count;
        countdown = params.GroupLength;
      }
      --countdown;
      copyPosition = address;
      copyLength = e;
      if (address < 0) return fail("copy before the source");
      if (address < sourceSize) {
        if (address + e > sourceSize) return fail("copy runs past the source");
        for (std::int64_t k = 0; k < e; ++k) {
          if (!append(source[address + k])) return fail("output past the target size");
        }
      } else {
        // From the output, in pieces of 1000, each inside what was written.
        for (std::int64_t done = 0; done < e;) {
          const std::int64_t piece = std::min<std::int64_t>(e - done, 1000);
          const std::int64_t from = address - sourceSize + done;
          if (from + piece > static_cast<std::int64_t>(out.size())) return fail("copy ahead of output");
          for (std::int64_t k = 0; k < piece; ++k) {
            if (!append(out[from + k])) return fail("output past the target size");
          }
          done += piece;
        }
      }
      std::vector<std::uint8_t> olds(addCount);
      for (std::int64_t k = 0; k < addCount; ++k) {
        if (!oldByte(copyPosition + copyLength + k, olds[k])) return fail("add bytes without old bytes");
      }
      for (std::int64_t k = 0; k < addCount; ++k) {
        std::uint8_t value = 0;
        if (!adds.Byte(value)) return fail("add stream exhausted");
        if (!append(static_cast<std::uint8_t>(addMode ? value + olds[k] : value))) {
          return fail("output past the target size");
        }
      }
    } else {
      const std::int64_t length = -e;
      const std::int64_t block = params.BlockLength;
      if (block == 0) return fail("insert with BlockLength 0");
      for (std::int64_t start = 0;;) {
        const std::int64_t rest = length - start;
        const std::int64_t piece = rest >= 2 * block ? block : rest;
        std::vector<std::uint8_t> bytes(piece);
        for (auto& value : bytes) {
          if (!inserts.Byte(value)) return fail("insert stream exhausted");
        }
        bool literal = false;
        if (!flags.Bit(literal)) return fail("flag stream exhausted");
        if (!literal) {
          const std::int64_t base = copyPosition + copyLength + addCount + start;
          std::vector<std::uint8_t> olds(piece);
          for (std::int64_t k = 0; k < piece; ++k) {
            if (!oldByte(base + k, olds[k])) return fail("insert piece without old bytes");
          }
          for (std::int64_t k = 0; k < piece; ++k) bytes[k] = static_cast<std::uint8_t>(bytes[k] + olds[k]);
        }
        for (std::uint8_t value : bytes) {
          if (!append(value)) return fail("output past the target size");
        }
        if (rest < 2 * block) break;
        start += block;
      }
    }
  }
  if (static_cast<std::int64_t>(out.size()) != targetSize) return fail("short result");
  return true;
}

struct TPair {
  const char* Name;
  TBytes Source;
  TBytes Target;
};

inline TBytes Join(std::initializer_list<TBytes> parts) {
  TBytes all;
  for (const TBytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline TBytes Slice(const TBytes& bytes, std::size_t from, std::size_t length) {
  return TBytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

// Source and target pairs that exercise the matcher and the planner: edits
// of every kind, moves, growth from nothing, and sizes around the points
// where numbers gain a byte.
inline std::vector<TPair> Pairs() {
  std::vector<TPair> pairs;
  const TBytes base = RandomBytes(40000, 1);
  const TBytes other = RandomBytes(40000, 2);
  // Sparse small changes, like shifted addresses in a program.
  TBytes sparse = base;
  for (std::size_t i = 100; i < sparse.size(); i += 37 + i % 11) sparse[i] = static_cast<std::uint8_t>(sparse[i] + 5);
  // Clusters of changed bytes of many lengths.
  TBytes clusters = base;
  for (std::size_t i = 50, n = 1; i + n < clusters.size(); i += 90, n = n % 9 + 1) {
    for (std::size_t k = 0; k < n; ++k) clusters[i + k] ^= 0x5A;
  }
  TBytes tailChanged = base;
  for (std::size_t i = tailChanged.size() - 3; i < tailChanged.size(); ++i) tailChanged[i] ^= 1;
  pairs.push_back({"identical", base, base});
  pairs.push_back({"sparse changed bytes", base, sparse});
  pairs.push_back({"clusters of 1 to 9 changed bytes", base, clusters});
  pairs.push_back({"last bytes changed", base, tailChanged});
  pairs.push_back({"blocks moved and swapped",
                   base, Join({Slice(base, 30000, 10000), Slice(base, 0, 15000), Slice(base, 15000, 15000)})});
  pairs.push_back({"insertions and deletions",
                   base, Join({Slice(base, 0, 5000), Slice(other, 0, 700), Slice(base, 5100, 20000),
                               Slice(base, 26000, 14000), Slice(other, 1000, 3)})});
  pairs.push_back({"unrelated contents", base, other});
  pairs.push_back({"growing from nothing", {}, other});
  pairs.push_back({"shrinking to nothing", base, {}});
  pairs.push_back({"both empty", {}, {}});
  pairs.push_back({"one byte each", {7}, {9}});
  pairs.push_back({"repeated target from a short source", Slice(base, 0, 64),
                   Join({Slice(base, 0, 64), Slice(base, 0, 64), Slice(base, 0, 64), Slice(base, 3, 50)})});
  pairs.push_back({"runs of one byte value", TBytes(5000, 0), Join({TBytes(3000, 0), TBytes(10, 1), TBytes(4000, 0)})});
  // Sizes on both sides of the points where numbers may take more bytes.
  for (std::size_t size : {255u, 256u, 65535u, 65536u}) {
    TBytes source = RandomBytes(size, 3);
    TBytes target = source;
    target[size / 2] ^= 0xFF;
    target.push_back(1);
    pairs.push_back({size == 255 ? "source 255" : size == 256 ? "source 256" : size == 65535 ? "source 65535" : "source 65536",
                     source, target});
  }
  return pairs;
}

}  // namespace mendrix::test

#endif  // MENDRIX_TESTS_GENERATOR_DELTA_PAIRS_H_
