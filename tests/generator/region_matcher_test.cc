// The matcher's walk cut into pieces, walked on several threads and joined,
// against the same walk on one thread: the regions must be the same.
#include "generator/region_matcher.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "generator/delta_pairs.h"
#include "generator/source_index.h"

namespace mendrix::test {
namespace {

std::string Describe(const std::vector<TAlignedRegion>& regions, std::size_t at) {
  if (at >= regions.size()) return "none";
  const TAlignedRegion& region = regions[at];
  return std::to_string(region.TargetStart) + "+" + std::to_string(region.Length) + " from " +
         std::to_string(region.SourceStart);
}

// The regions of the walk in pieces of pieceLength on jobs threads equal
// those of the one walk; the first difference is reported.
void ExpectSameRegions(const TBytes& source, const TBytes& target,
                       const std::vector<std::int64_t>& pieceLengths) {
  const TSourceIndex index(source, nullptr);
  const std::vector<TAlignedRegion> one = FindRegions(index, source, target, nullptr);
  for (std::int64_t pieceLength : pieceLengths) {
    for (int jobs : {2, 3}) {
      SCOPED_TRACE("piece length " + std::to_string(pieceLength) + ", " + std::to_string(jobs) +
                   " jobs");
      const std::vector<TAlignedRegion> pieces =
          FindRegions(index, source, target, nullptr, jobs, pieceLength);
      std::size_t at = 0;
      while (at < one.size() && at < pieces.size() &&
             one[at].TargetStart == pieces[at].TargetStart &&
             one[at].SourceStart == pieces[at].SourceStart && one[at].Length == pieces[at].Length) {
        ++at;
      }
      EXPECT_EQ(pieces.size(), one.size());
      EXPECT_EQ(at, one.size()) << "region " << at << ": " << Describe(pieces, at) << " instead of "
                                << Describe(one, at);
    }
  }
}

TEST(FindRegions, PiecesOfSmallPairsJoinIntoTheOneWalk) {
  for (const TPair& pair : Pairs()) {
    SCOPED_TRACE(pair.Name);
    ExpectSameRegions(pair.Source, pair.Target, {1000, 4096, 7777});
  }
}

// A target whose pieces start inside every kind of stretch: a long exact
// copy over many pieces, a long stretch with sparse changed bytes (the walk
// keeps one alignment through it and closes it only at its end), clusters
// of changes, a moved and a repeated block, unrelated bytes, runs of zeros,
// and a stretch whose alignment drifts by a byte now and then.
TBytes ManyStretches(const TBytes& base, const TBytes& other) {
  TBytes sparse = Slice(base, 100000, 150000);
  for (std::size_t i = 20; i < sparse.size(); i += 29 + i % 23) {
    sparse[i] = static_cast<std::uint8_t>(sparse[i] + 3);
  }
  TBytes clusters = Slice(base, 260000, 60000);
  for (std::size_t i = 40, n = 1; i + n < clusters.size(); i += 700 + n * 13, n = n % 40 + 1) {
    for (std::size_t k = 0; k < n; ++k) clusters[i + k] ^= 0xA5;
  }
  TBytes drifting;
  for (std::size_t at = 330000; at < 400000; at += 3001) {
    const TBytes part = Slice(base, at, 3000);
    drifting.insert(drifting.end(), part.begin(), part.end());
  }
  return Join({Slice(base, 0, 90000), Slice(other, 0, 3000), sparse, clusters, drifting,
               Slice(base, 420000, 40000), Slice(base, 20000, 30000), Slice(other, 5000, 25000),
               TBytes(9000, 0), Slice(base, 430000, 20000), Slice(base, 430000, 20000),
               Slice(base, 460000, 52288)});
}

TEST(FindRegions, PiecesStartingInsideMatchesAndChangedStretchesJoinIntoTheOneWalk) {
  TBytes base = RandomBytes(512 * 1024, 11);
  std::fill(base.begin() + 200000, base.begin() + 203000, 0);
  const TBytes other = RandomBytes(40000, 12);
  const TBytes target = ManyStretches(base, other);
  ExpectSameRegions(base, target, {4096, 10000, 65536, 200000});
}

// Identical versions: one match over the whole target, every piece inside it.
TEST(FindRegions, PiecesInsideOneMatchJoinIntoTheOneWalk) {
  const TBytes base = RandomBytes(300000, 13);
  ExpectSameRegions(base, base, {4096, 50000});
}

// Bytes that the source holds twice, the first copy shorter and after bytes
// that the target starts with too, each copy with clusters of changed bytes
// of its own; the target has them with other changed bytes now and then. The one
// walk goes on under the alignment of the first copy, a walk started inside
// may take the second; both may stand at the same place with the same match
// but for its alignment, and then take other steps.
TEST(FindRegions, PiecesUnderTheAlignmentOfAnotherCopyJoinIntoTheOneWalk) {
  const TBytes prefix = RandomBytes(10000, 14);
  const TBytes copied = RandomBytes(70000, 15);
  TBytes first = Slice(copied, 0, 30000);
  for (std::size_t i = 1000; i + 20 < first.size(); i += 3000 + i % 17) {
    for (std::size_t k = i; k < i + 20; ++k) first[k] ^= 0x33;
  }
  TBytes second = copied;
  for (std::size_t i = 2500; i + 20 < second.size(); i += 3000 + i % 19) {
    for (std::size_t k = i; k < i + 20; ++k) second[k] ^= 0x55;
  }
  const TBytes source = Join({prefix, first, RandomBytes(5000, 16), second, RandomBytes(5000, 17)});
  TBytes changed = copied;
  for (std::size_t i = 250; i < changed.size(); i += 400 + i % 13) {
    changed[i] = static_cast<std::uint8_t>(changed[i] + 1);
  }
  const TBytes target = Join({RandomBytes(1000, 18), prefix, changed, RandomBytes(3000, 19)});
  ExpectSameRegions(source, target, {1024, 1500, 2000, 2500, 3000, 3500, 4096, 5000, 6000, 7000});
}

}  // namespace
}  // namespace mendrix::test
