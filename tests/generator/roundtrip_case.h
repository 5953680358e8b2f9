// Round trips of the generator and the program as a property: any sequence
// of bytes is turned into a case (an old and a new file, or small old and
// new trees with renames, files that only the new tree has and up to three
// old versions); the generator makes a patch from it, the program applies
// the patch to a copy of each old version, and the result must be the new
// version byte for byte, dated like it.
//
// Shared by the randomised test (roundtrip_property_test.cc: a fixed range
// of seeds, each giving the bytes) and the fuzz target fuzz_roundtrip
// (tools/fuzz: the fuzzer's input is the bytes). How a patch is applied is
// up to each: the test runs the program, the fuzz target calls RunPatch.
//
// No gtest here: the fuzz target includes this file too.
#ifndef MENDRIX_TESTS_GENERATOR_ROUNDTRIP_CASE_H_
#define MENDRIX_TESTS_GENERATOR_ROUNDTRIP_CASE_H_

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "generator/make_patch.h"

namespace mendrix::test::roundtrip {

namespace fs = std::filesystem;
using TBytes = std::vector<std::uint8_t>;

// One file of a version. Name is relative with backslashes, as in a patch
// (empty for the file of a single-file case); Time is in seconds since 1970,
// even, so that a DOS date-time holds it exactly (TZ=UTC).
struct TVersionFile {
  std::string Name;
  TBytes Bytes;
  std::int64_t Time = 0;
};

// A version: one file (single-file case) or the files of a tree.
using TVersion = std::vector<TVersionFile>;

struct TCase {
  bool Tree = false;
  std::vector<TVersion> Olds;  // oldest first
  TVersion New;
};

// Takes the bytes in order; past their end every value is 0, so any input,
// even an empty one, gives a case.
class TByteSource {
 public:
  explicit TByteSource(std::span<const std::uint8_t> bytes) : Bytes_(bytes) {}

  std::uint8_t Byte() { return Next_ < Bytes_.size() ? Bytes_[Next_++] : 0; }
  std::uint32_t U16() { return Byte() | std::uint32_t{Byte()} << 8; }
  std::uint32_t U32() { return U16() | U16() << 16; }
  // A value in [0, limit); limit must be above 0.
  std::uint32_t Below(std::uint32_t limit) { return (limit <= 256 ? Byte() : U32()) % limit; }

 private:
  std::span<const std::uint8_t> Bytes_;
  std::size_t Next_ = 0;
};

// Bytes that a seed expands to: xorshift, drawn from an alphabet of
// alphabetSize bytes (a small one gives many repeats for the matcher).
inline TBytes Expand(std::size_t count, std::uint32_t seed, std::uint32_t alphabetSize) {
  TBytes bytes(count);
  std::uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  if (state == 0) state = 1;
  for (std::uint8_t& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<std::uint8_t>((state >> 8) % alphabetSize);
  }
  return bytes;
}

// Fresh content: random bytes, lines of text, or the input's own bytes.
inline TBytes Content(TByteSource& source) {
  const std::uint32_t size = source.Below(6000);
  switch (source.Below(3)) {
    case 0:
      return Expand(size, source.U32(), 1 + source.Byte());
    case 1: {
      std::string text;
      const std::uint32_t seed = source.U16();
      for (std::uint32_t line = 0; text.size() < size; ++line) {
        text += "line " + std::to_string(line * (seed | 1) % 1000) + " of the text\r\n";
      }
      text.resize(size);
      return TBytes(text.begin(), text.end());
    }
    default: {
      TBytes bytes(source.Below(64));
      for (std::uint8_t& byte : bytes) byte = source.Byte();
      return bytes;
    }
  }
}

// bytes changed by a few edits: inserts, cuts, small additions to runs of
// bytes (what add bytes are for), a block copied elsewhere, bytes replaced,
// and rarely everything cut.
inline TBytes Edited(TBytes bytes, TByteSource& source) {
  const std::uint32_t edits = source.Below(6);
  for (std::uint32_t e = 0; e < edits; ++e) {
    const std::size_t size = bytes.size();
    const std::size_t at = size == 0 ? 0 : source.U16() % (size + 1);
    const std::size_t length = std::min<std::size_t>(1 + source.Below(200), size - at);
    switch (source.Below(7)) {
      case 0: {
        const TBytes inserted = Expand(1 + source.Below(100), source.U16(), 256);
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(), inserted.end());
        break;
      }
      case 1:
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        break;
      case 2: {
        const std::uint8_t step = static_cast<std::uint8_t>(1 + source.Below(3));
        for (std::size_t i = at; i < at + length; ++i) bytes[i] = static_cast<std::uint8_t>(bytes[i] + step);
        break;
      }
      case 3: {
        const TBytes block(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                           bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        const std::size_t to = bytes.empty() ? 0 : source.U16() % (bytes.size() + 1);
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(to), block.begin(), block.end());
        break;
      }
      case 4:
        for (std::size_t i = at; i < at + length; ++i) bytes[i] = source.Byte();
        break;
      case 5:
        bytes.push_back(source.Byte());
        break;
      default:
        if (source.Below(8) == 0) bytes.clear();
        break;
    }
  }
  return bytes;
}

// An even time between 1980 and 2100.
inline std::int64_t FileTime(TByteSource& source) {
  constexpr std::int64_t Start = 315532800;  // 1980-01-01 00:00:00 UTC
  return Start + 2 * std::int64_t{source.U32() % 1900000000u};
}

// Names of the trees: no name is also a directory of another, so files and
// directories never trade places between versions.
inline const std::vector<std::string>& TreeNames() {
  static const std::vector<std::string> names = {"a.txt",      "b.bin", "sub\\c.dat",
                                                 "sub\\d",     "f",     "sub\\deep\\e.txt"};
  return names;
}

inline const TVersionFile* FindFile(const TVersion& version, const std::string& name) {
  for (const TVersionFile& file : version) {
    if (file.Name == name) return &file;
  }
  return nullptr;
}

// The case the bytes give.
inline TCase DeriveCase(std::span<const std::uint8_t> input) {
  TByteSource source(input);
  TCase result;
  const std::uint8_t shape = source.Byte();
  result.Tree = (shape & 1) != 0;
  const std::size_t oldCount = 1 + (shape >> 1) % 3;

  if (!result.Tree) {
    const TBytes newBytes = Content(source);
    result.New = {{"", newBytes, FileTime(source)}};
    // Each old version comes from the new one or from the one after it.
    TBytes previous = newBytes;
    std::vector<TBytes> olds(oldCount);
    for (std::size_t k = oldCount; k-- > 0;) {
      olds[k] = source.Below(4) == 0 ? Content(source) : Edited(previous, source);
      previous = olds[k];
    }
    // A patch needs one old version that differs from the new one.
    if (std::all_of(olds.begin(), olds.end(), [&](const TBytes& old) { return old == newBytes; })) {
      olds[0].push_back(static_cast<std::uint8_t>(newBytes.empty() ? 0 : newBytes.back() + 1));
    }
    for (TBytes& old : olds) result.Olds.push_back({{"", std::move(old), FileTime(source)}});
    return result;
  }

  // A few contents; each file of the new tree takes one, maybe edited.
  std::vector<TBytes> bases(1 + source.Below(3));
  for (TBytes& base : bases) base = Content(source);
  for (const std::string& name : TreeNames()) {
    if (source.Below(4) == 0) continue;
    TBytes bytes = bases[source.Below(static_cast<std::uint32_t>(bases.size()))];
    if (source.Below(2) == 0) bytes = Edited(std::move(bytes), source);
    result.New.push_back({name, std::move(bytes), FileTime(source)});
  }
  // Each old tree holds, per name: nothing, the new file as it is, an
  // edited new file, or (a rename) an edited file of another name.
  for (std::size_t k = 0; k < oldCount; ++k) {
    TVersion old;
    for (const std::string& name : TreeNames()) {
      const TVersionFile* current = FindFile(result.New, name);
      const TVersionFile* other = result.New.empty()
                                      ? nullptr
                                      : &result.New[source.Below(static_cast<std::uint32_t>(result.New.size()))];
      TBytes bytes;
      switch (source.Below(5)) {
        case 0:
          continue;
        case 1:
          bytes = current != nullptr ? current->Bytes : Content(source);
          break;
        case 2:
        case 3:
          bytes = Edited(current != nullptr ? current->Bytes : Content(source), source);
          break;
        default:
          bytes = other != nullptr ? other->Bytes : Content(source);
          if (source.Below(2) == 0) bytes = Edited(std::move(bytes), source);
          break;
      }
      old.push_back({name, std::move(bytes), FileTime(source)});
    }
    result.Olds.push_back(std::move(old));
  }
  return result;
}

inline std::string SystemName(const std::string& name) {
  std::string path = name;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

inline bool WriteBytes(const fs::path& path, const TBytes& bytes, std::int64_t time) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) return false;
  }
  const auto moment = std::chrono::system_clock::time_point(std::chrono::seconds(time));
  fs::last_write_time(path, std::chrono::file_clock::from_sys(moment), error);
  return !error;
}

inline TBytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), {});
}

inline std::int64_t WriteSeconds(const fs::path& path) {
  std::error_code error;
  const auto time = fs::last_write_time(path, error);
  if (error) return -1;
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::file_clock::to_sys(time).time_since_epoch())
      .count();
}

// Writes a version at path: the file itself, or a directory of files.
inline bool WriteVersion(const TVersion& version, bool tree, const fs::path& path) {
  std::error_code error;
  fs::remove_all(path, error);
  if (!tree) return WriteBytes(path, version[0].Bytes, version[0].Time);
  fs::create_directories(path, error);
  for (const TVersionFile& file : version) {
    if (!WriteBytes(path / SystemName(file.Name), file.Bytes, file.Time)) return false;
  }
  return true;
}

// Writes every version below directory (old1, old2, ..., new) and makes the
// patch at patchPath with the generator. Returns its exit code.
inline int MakeCasePatch(const TCase& c, const fs::path& directory, const fs::path& patchPath) {
  TMakeOptions options;
  options.PatchName = patchPath.string();
  options.Force = true;
  options.Quiet = true;
  for (std::size_t k = 0; k < c.Olds.size(); ++k) {
    const fs::path old = directory / ("old" + std::to_string(k + 1));
    if (!WriteVersion(c.Olds[k], c.Tree, old)) return -1;
    options.OldPaths.push_back(old.string());
  }
  const fs::path newPath = directory / "new";
  if (!WriteVersion(c.New, c.Tree, newPath)) return -1;
  options.NewPath = newPath.string();
  return MakePatch(options);
}

// Whether a patch of this case applies to old version k: a single-file
// patch has no variant for an old file that already is the new one.
inline bool Applies(const TCase& c, std::size_t k) {
  return c.Tree || c.Olds[k][0].Bytes != c.New[0].Bytes;
}

// Checks what applying the patch to a copy of old version k left at result
// (the file, or the tree's directory; the backup directory is "Backup").
// Empty when all is right, else what is wrong.
inline std::string CheckResult(const TCase& c, std::size_t k, const fs::path& result) {
  if (!c.Tree) {
    const TVersionFile& want = c.New[0];
    if (ReadBytes(result) != want.Bytes) return "the result differs from the new file";
    if (WriteSeconds(result) != want.Time) {
      return "the result is dated " + std::to_string(WriteSeconds(result)) + ", not " +
             std::to_string(want.Time);
    }
    return "";
  }
  const TVersion& old = c.Olds[k];
  std::set<std::string> expected;
  for (const TVersionFile& file : c.New) {
    expected.insert(SystemName(file.Name));
    const fs::path path = result / SystemName(file.Name);
    if (ReadBytes(path) != file.Bytes || !fs::is_regular_file(path)) return file.Name + " differs from the new one";
    // A file that already had the new bytes keeps its own date.
    const TVersionFile* before = FindFile(old, file.Name);
    if ((before == nullptr || before->Bytes != file.Bytes) && WriteSeconds(path) != file.Time) {
      return file.Name + " is dated " + std::to_string(WriteSeconds(path)) + ", not " +
             std::to_string(file.Time);
    }
  }
  // What the new tree doesn't have stays as it was; a replaced file goes to
  // the backup directory with its old bytes.
  for (const TVersionFile& file : old) {
    const std::string name = SystemName(file.Name);
    const fs::path backup = result / "Backup" / name;
    if (fs::exists(backup)) {
      expected.insert("Backup/" + name);
      if (ReadBytes(backup) != file.Bytes) return "the backup of " + file.Name + " differs from the old file";
    }
    if (expected.insert(name).second && ReadBytes(result / name) != file.Bytes) {
      return file.Name + ", not in the new tree, was changed";
    }
  }
  // And nothing else: no work file, install copy or stray result.
  std::error_code error;
  for (fs::recursive_directory_iterator it(result, error), end; !error && it != end; it.increment(error)) {
    if (it->is_directory()) continue;
    const std::string name = fs::relative(it->path(), result).generic_string();
    if (expected.count(name) == 0) return "unexpected file " + name;
  }
  return "";
}

}  // namespace mendrix::test::roundtrip

#endif  // MENDRIX_TESTS_GENERATOR_ROUNDTRIP_CASE_H_
