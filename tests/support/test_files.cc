#include "support/test_files.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <algorithm>
#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#endif

namespace mendrix::test {

namespace fs = std::filesystem;

#ifdef _WIN32
namespace {

// A death test on Windows runs its test again in a new process, up to the
// statement that dies, and compares what that process prints with what the
// test expects: both must see the same scratch names. Here a name is made of
// a number that the first process hands down in its environment, the test's
// name and a count of the directories made in the test so far.
std::string RepeatableName() {
  const char* run = std::getenv("MENDRIX_TEST_RUN");
  if (run == nullptr) {
    std::string number = std::to_string(std::random_device{}() % 1000000);
    _putenv_s("MENDRIX_TEST_RUN", number.c_str());
    run = std::getenv("MENDRIX_TEST_RUN");
  }
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string testName =
      test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "";
  static std::string lastTest;
  static int count = 0;
  if (testName != lastTest) {
    lastTest = testName;
    count = 0;
  }
  return "mendrix-test-" + std::string(run) + "-" +
         std::to_string(std::hash<std::string>{}(testName) % 1000000) + "-" +
         std::to_string(count++);
}

}  // namespace
#endif

TTempDir::TTempDir() {
  static std::mt19937_64 generator{std::random_device{}()};
  fs::path base = fs::temp_directory_path();
#ifdef _WIN32
  fs::path repeatable = base / RepeatableName();
  std::error_code created;
  if (fs::create_directory(repeatable, created) ||
      (!GTEST_FLAG_GET(internal_run_death_test).empty() && fs::is_directory(repeatable))) {
    Path_ = repeatable.string();  // in a death test: the directory of the test
    return;
  }
#endif
  for (;;) {
    fs::path candidate = base / ("mendrix-test-" + std::to_string(generator() % 1000000000));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      Path_ = candidate.string();
      return;
    }
  }
}

TTempDir::~TTempDir() {
  std::error_code error;
  fs::remove_all(Path_, error);
}

std::string TTempDir::File(const std::string& name) const { return Path_ + "/" + name; }

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  fs::path p(path);
  if (p.has_parent_path()) {
    std::error_code error;
    fs::create_directories(p.parent_path(), error);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteFileText(const std::string& path, const std::string& text) {
  WriteFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

std::int64_t FileWriteTime(const std::string& path) {
  auto fileTime = fs::last_write_time(path);
  auto systemTime = std::chrono::file_clock::to_sys(fileTime);
  return std::chrono::duration_cast<std::chrono::seconds>(systemTime.time_since_epoch()).count();
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = fs::directory_iterator(path, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<std::uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
  return bytes;
}

}  // namespace mendrix::test
