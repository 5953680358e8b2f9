// Scratch directories and whole-file helpers for the tests.
#ifndef MENDRIX_TESTS_SUPPORT_TEST_FILES_H_
#define MENDRIX_TESTS_SUPPORT_TEST_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace mendrix::test {

// A fresh directory under the system temp directory, removed with everything
// in it when the object goes.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return Path_; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const;

 private:
  std::string Path_;
};

std::vector<std::uint8_t> ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);
// Writes bytes, creating the directories on the way.
void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
void WriteFileText(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
// The last-write time of a file in seconds since 1970 (UTC).
std::int64_t FileWriteTime(const std::string& path);
// Names of the entries in a directory, sorted; empty if it can't be listed.
std::vector<std::string> ListDirectory(const std::string& path);
// Deterministic pseudo-random bytes.
std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed);

}  // namespace mendrix::test

#endif  // MENDRIX_TESTS_SUPPORT_TEST_FILES_H_
