// apply_bench: how fast Mendrix rebuilds a big file, next to cp.
//
//   apply_bench [--keep] [--size MiB] [--edits N] [DIR]
//
// Makes a source of 256 MiB (by default) and a target that differs from it
// by a few thousand scattered edits, writes a single-file patch for them
// with the patch writer, and then measures, each in a fresh process so that
// the generation's big buffers don't count:
//   - cp of the source (the floor: read the old file, write a new one),
//   - FileChecksum of the source,
//   - ApplyVariant with the source check on (checksum, then copy and insert
//     loop into a work file), with the process's peak memory.
// The page cache is warm for every step, and dirty pages are written out
// (sync) before each, so that no step pays for the writes of the one before.
// Every step runs Repeats times; the best and the median are shown. DIR
// defaults to $TMPDIR or /tmp; the files are removed at the end unless --keep
// is given.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "checksum/checksum.h"
#include "delta/apply.h"
#include "fileio/fileio.h"
#include "patchfile/patch_format.h"
#include "writer/delta_encoder.h"
#include "writer/patch_writer.h"

extern char** environ;  // NOLINT: the process environment, the system's own

namespace mendrix {
namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<std::uint8_t>;
using TClock = std::chrono::steady_clock;

constexpr int Repeats = 5;  // runs of each timed step

double Seconds(TClock::time_point start) {
  return std::chrono::duration<double>(TClock::now() - start).count();
}

struct TTimes {
  std::vector<double> Seconds;
  std::vector<double> CpuSeconds;  // of the whole process, start-up included
  double Cpu() const {
    std::vector<double> sorted = CpuSeconds;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
  double Best() const { return *std::min_element(Seconds.begin(), Seconds.end()); }
  double Median() const {
    std::vector<double> sorted = Seconds;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
};

// Peak resident memory of this process in KiB (VmHWM).
long PeakMemoryKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "apply_bench: %s\n", message.c_str());
  std::exit(2);
}

// What a program Run printed, and its processor time (user and system).
struct TRunOutput {
  std::string Out;
  double CpuSeconds = 0;
};

// Runs a program; fails on a non-zero exit.
TRunOutput Run(const std::vector<std::string>& arguments) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) Fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    Fail("can't start " + arguments[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  TRunOutput output;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    output.Out.append(buffer, n);
  }
  close(pipeEnds[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  output.CpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail(arguments[0] + " failed");
  return output;
}

// What the generation step leaves for the measuring steps.
struct TSetup {
  std::int32_t StreamOffset = 0;
  TVariantInfo Variant;
  std::int32_t TargetSize = 0;
  std::uint32_t TargetCrc = 0;
  std::int64_t PatchSize = 0;
  std::int32_t OpCount = 0;

  void Save(const std::string& path) const {
    std::ofstream out(path);
    out << StreamOffset << ' ' << Variant.SourceCrc << ' ' << Variant.SourceSize;
    for (std::uint32_t length : Variant.StreamLength) out << ' ' << length;
    out << ' ' << Variant.GroupLength << ' ' << int{Variant.VariantFlags} << ' '
        << int{Variant.BlockLength} << ' ' << TargetSize << ' ' << TargetCrc << ' ' << PatchSize
        << ' ' << OpCount << '\n';
  }
  void Load(const std::string& path) {
    std::ifstream in(path);
    int flags = 0;
    int block = 0;
    in >> StreamOffset >> Variant.SourceCrc >> Variant.SourceSize;
    for (std::uint32_t& length : Variant.StreamLength) in >> length;
    in >> Variant.GroupLength >> flags >> block >> TargetSize >> TargetCrc >> PatchSize >> OpCount;
    if (!in) Fail("can't read " + path);
    Variant.VariantFlags = static_cast<std::uint8_t>(flags);
    Variant.BlockLength = static_cast<std::uint8_t>(block);
  }
};

struct TRandom {
  std::uint64_t State;
  std::uint64_t Next() {
    State ^= State << 13;
    State ^= State >> 7;
    State ^= State << 17;
    return State;
  }
  std::int64_t Below(std::int64_t bound) { return static_cast<std::int64_t>(Next() % bound); }
};

void WriteFile(const std::string& path, const TBytes& bytes) {
  if (!WriteBytesToFile(path, bytes)) Fail("can't write " + path);
}

// The source, the target with its edits, and the patch that turns one into
// the other: copies of the unchanged runs, literal inserts, deletions, bytes
// inserted as differences to the old ones, and repeats of earlier output.
// Random source bytes, and the target made from them with the operations
// that make it.
struct TEdited {
  TBytes Source;
  TBytes Target;
  std::vector<TDeltaOp> Ops;
};

constexpr std::uint8_t InsertBlock = 20;

TBytes RandomSource(TRandom& random, std::int64_t size) {
  TBytes source(static_cast<std::size_t>(size));
  for (std::size_t i = 0; i + 8 <= source.size(); i += 8) {
    std::uint64_t word = random.Next();
    for (int k = 0; k < 8; ++k) source[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
  }
  return source;
}

TEdited EditRandomSource(std::int64_t sourceSize, int editCount) {
  TRandom random{0x9E3779B97F4A7C15ull};
  TBytes source = RandomSource(random, sourceSize);

  std::vector<std::int64_t> positions;
  for (int i = 0; i < editCount; ++i) positions.push_back(1 + random.Below(sourceSize - 5000));
  std::sort(positions.begin(), positions.end());

  TBytes target;
  target.reserve(source.size() + source.size() / 8);
  std::vector<TDeltaOp> ops;
  std::int64_t runEnd = 0;  // CopyPosition + CopyLength of the last copy
  std::int64_t cursor = 0;  // next unchanged source byte
  auto copy = [&](std::int64_t address, std::int64_t length) {
    ops.push_back(TDeltaOp::Copy(static_cast<std::int32_t>(length),
                                 static_cast<std::int32_t>(address - runEnd)));
    for (std::int64_t i = 0; i < length; ++i) {
      target.push_back(address + i < sourceSize ? source[address + i]
                                                : target[address + i - sourceSize]);
    }
    runEnd = address + length;
  };
  auto randomBytes = [&](std::int64_t count) {
    TBytes bytes(static_cast<std::size_t>(count));
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random.Next());
    return bytes;
  };
  for (std::size_t e = 0; e < positions.size(); ++e) {
    std::int64_t position = std::max(positions[e], cursor + 1);
    if (position + 300 >= sourceSize) break;
    copy(cursor, position - cursor);
    std::int64_t length = 1 + random.Below(64);
    switch (e % 5) {
      case 0:  // replaced bytes
      case 1: {
        TBytes bytes = randomBytes(length);
        target.insert(target.end(), bytes.begin(), bytes.end());
        ops.push_back(TDeltaOp::Insert(std::move(bytes), true, InsertBlock));
        cursor = position + length;
        break;
      }
      case 2: {  // new bytes
        TBytes bytes = randomBytes(length);
        target.insert(target.end(), bytes.begin(), bytes.end());
        ops.push_back(TDeltaOp::Insert(std::move(bytes), true, InsertBlock));
        cursor = position;
        break;
      }
      case 3: {  // bytes changed a little: differences to the old ones
        TBytes bytes = randomBytes(length);
        for (std::int64_t i = 0; i < length; ++i) {
          bytes[i] &= 3;
          target.push_back(static_cast<std::uint8_t>(source[position + i] + bytes[i]));
        }
        ops.push_back(TDeltaOp::Insert(std::move(bytes), false, InsertBlock));
        cursor = position + length;
        break;
      }
      default: {  // deleted bytes, and a repeat of earlier output
        cursor = position + length;
        auto written = static_cast<std::int64_t>(target.size());
        if (written > 100000) copy(sourceSize + written - 50000 - random.Below(40000), 4096);
        break;
      }
    }
  }
  copy(cursor, sourceSize - cursor);
  return {std::move(source), std::move(target), std::move(ops)};
}

void Generate(const std::string& dir, std::int64_t sourceSize, int editCount) {
  const TEdited edited = EditRandomSource(sourceSize, editCount);
  const TBytes& source = edited.Source;
  const TBytes& target = edited.Target;
  const std::vector<TDeltaOp>& ops = edited.Ops;
  const auto targetSize = static_cast<std::int32_t>(target.size());
  TDeltaParams params;
  params.GroupLength = 190;
  params.VariantFlags = 0;
  params.BlockLength = InsertBlock;
  params.NumberLimit =
      NumberLimitFor(params.VariantFlags, static_cast<std::int32_t>(sourceSize), targetSize);
  TWriterVariant variant;
  std::string error;
  if (!EncodeDelta(ops, params, variant.Streams, error)) Fail("encoding: " + error);
  variant.Info.SourceSize = static_cast<std::uint32_t>(sourceSize);
  variant.Info.SourceCrc =
      CrcUpdate(CrcStart, source.data(), static_cast<std::int32_t>(sourceSize));
  variant.Info.GroupLength = params.GroupLength;
  variant.Info.VariantFlags = params.VariantFlags;
  variant.Info.BlockLength = params.BlockLength;

  TWriterPatch patch;
  TWriterEntry entry;
  entry.Info.ResultSize = static_cast<std::uint32_t>(targetSize);
  entry.Info.ResultCrc = CrcUpdate(CrcStart, target.data(), targetSize);
  entry.Variants.push_back(variant);
  patch.Entries.push_back(entry);
  TBytes patchBytes;
  if (!WritePatch(patch, patchBytes, error)) Fail("writing the patch: " + error);

  // A single-file patch: header, notice, backup name, entry record, variant
  // record, then the streams.
  TSetup setup;
  setup.StreamOffset =
      static_cast<std::int32_t>(HeaderSize + patch.Notice.size() + 1 + patch.BackupName.size() +
                                EntryInfoSize + VariantInfoSize);
  const TBytes& first = variant.Streams[NumberStream];
  if (!std::equal(first.begin(), first.end(), patchBytes.begin() + setup.StreamOffset)) {
    Fail("the streams are not where they were expected");
  }
  setup.Variant = variant.Info;
  for (int i = 0; i < StreamCount; ++i) {
    setup.Variant.StreamLength[i] = static_cast<std::uint32_t>(variant.Streams[i].size());
  }
  setup.TargetSize = targetSize;
  setup.TargetCrc = entry.Info.ResultCrc;
  setup.PatchSize = static_cast<std::int64_t>(patchBytes.size());
  setup.OpCount = static_cast<std::int32_t>(ops.size());

  WriteFile(dir + "/source", source);
  WriteFile(dir + "/patch.pat", patchBytes);
  setup.Save(dir + "/setup.txt");
}

// Child step: FileChecksum of the source; prints seconds.
void MeasureChecksum(const std::string& dir) {
  TDiskFile file;
  OpenForReading(file, dir + "/source");
  if (TakeIoStatus() != 0) Fail("can't open the source");
  TClock::time_point start = TClock::now();
  std::uint32_t value = FileChecksum(file, 0, 0);
  double seconds = Seconds(start);
  CloseDiskFile(file);
  std::printf("%.6f %u %ld\n", seconds, value, PeakMemoryKib());
}

// Child step: ApplyVariantTo with the source check on; prints seconds and the
// peak memory, after checking the result.
void MeasureApply(const std::string& dir) {
  TSetup setup;
  setup.Load(dir + "/setup.txt");
  TPatchContext context;
  context.TempDir = dir + "/work/";
  OpenForReading(context.PatchFile, dir + "/patch.pat");
  if (TakeIoStatus() != 0) Fail("can't open the patch");

  auto work = std::make_unique<TWorkState>();
  TVariantJob job;
  job.Variant = &setup.Variant;
  job.StreamOffset = setup.StreamOffset;
  job.SourcePath = dir + "/source";
  job.TargetSize = setup.TargetSize;
  TVariantOutput to;
  TClock::time_point start = TClock::now();
  bool applied = ApplyVariantTo(context, *work, job, to) == TApplyResult::Applied;
  double seconds = Seconds(start);
  long peak = PeakMemoryKib();
  if (!applied) Fail("the variant does not apply");
  const std::string outputName = to.Name;
  ReleaseWorkFiles(work->Files, work->Decoder);

  TDiskFile output;
  OpenForReading(output, outputName);
  bool right = GetSize(output) == setup.TargetSize && FileChecksum(output, 0, 0) == setup.TargetCrc;
  CloseDiskFile(output);
  DeleteDiskFile(output);
  CloseDiskFile(context.PatchFile);
  if (!right) Fail("the result is wrong");
  std::printf("%.6f %ld\n", seconds, peak);
}

// The three steps' times, and the peak memory of the two of Mendrix.
struct TResults {
  TTimes Cp;
  TTimes Checksum;
  TTimes Apply;
  long ChecksumPeak = 0;
  long ApplyPeak = 0;
};

void PrintResults(const TSetup& setup, double generateSeconds, const TResults& results) {
  const double sourceMib = setup.Variant.SourceSize / 1048576.0;
  const TTimes& cp = results.Cp;
  const TTimes& checksum = results.Checksum;
  const TTimes& apply = results.Apply;
  std::printf(
      "Source %.1f MiB, target %.1f MiB, %d operations, patch %lld bytes "
      "(generated in %.1f s).\nWarm page cache, sync before each step, %d runs each.\n\n",
      sourceMib, setup.TargetSize / 1048576.0, setup.OpCount,
      static_cast<long long>(setup.PatchSize), generateSeconds, Repeats);
  std::printf("%-31s %9s %9s %10s %9s %12s\n", "step", "best", "median", "MiB/s", "cpu",
              "peak memory");
  auto row = [&](const char* step, const TTimes& times, const std::string& peak) {
    std::printf("%-31s %8.3fs %8.3fs %10.0f %8.3fs %12s\n", step, times.Best(), times.Median(),
                sourceMib / times.Median(), times.Cpu(), peak.c_str());
  };
  auto mib = [](long kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024.0);
    return std::string(text);
  };
  row("cp of the source", cp, "-");
  row("FileChecksum of the source", checksum, mib(results.ChecksumPeak));
  row("ApplyVariant, source check on", apply, mib(results.ApplyPeak));
  std::printf(
      "\nApplyVariant / cp: %.2f best, %.2f median, %.2f in processor time "
      "(aim: at most 2.5);\npeak memory aim: under 16 MiB. Times are wall-clock times "
      "of the step alone; cpu is the\nmedian user + system time of the step's whole "
      "process, which a busy machine disturbs less.\n",
      apply.Best() / cp.Best(), apply.Median() / cp.Median(), apply.Cpu() / cp.Cpu());
}

int RunAll(const std::string& self, std::string dir, bool keep, std::int64_t sizeMib, int edits) {
  dir += "/mendrix-apply-bench";
  fs::remove_all(dir);
  fs::create_directories(dir + "/work");

  TClock::time_point start = TClock::now();
  Run({self, "--generate", dir, std::to_string(sizeMib), std::to_string(edits)});
  double generateSeconds = Seconds(start);
  TSetup setup;
  setup.Load(dir + "/setup.txt");

  TResults results;
  TTimes& cp = results.Cp;
  TTimes& checksum = results.Checksum;
  TTimes& apply = results.Apply;
  long& checksumPeak = results.ChecksumPeak;
  long& applyPeak = results.ApplyPeak;
  for (int r = 0; r < Repeats; ++r) {
    sync();
    start = TClock::now();
    const TRunOutput copied = Run({"cp", dir + "/source", dir + "/cp-copy"});
    cp.Seconds.push_back(Seconds(start));
    cp.CpuSeconds.push_back(copied.CpuSeconds);
    fs::remove(dir + "/cp-copy");

    double seconds = 0;
    long peak = 0;
    unsigned value = 0;
    sync();
    TRunOutput run = Run({self, "--checksum", dir});
    std::sscanf(run.Out.c_str(), "%lf %u %ld", &seconds, &value, &peak);
    checksum.Seconds.push_back(seconds);
    checksum.CpuSeconds.push_back(run.CpuSeconds);
    checksumPeak = std::max(checksumPeak, peak);

    sync();
    run = Run({self, "--apply", dir});
    std::sscanf(run.Out.c_str(), "%lf %ld", &seconds, &peak);
    apply.Seconds.push_back(seconds);
    apply.CpuSeconds.push_back(run.CpuSeconds);
    applyPeak = std::max(applyPeak, peak);
  }

  PrintResults(setup, generateSeconds, results);

  if (!keep) fs::remove_all(dir);
  return 0;
}

}  // namespace
}  // namespace mendrix

int main(int argc, char** argv) {
  using namespace mendrix;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "--generate") {
    Generate(args[1], std::stoll(args[2]) * 1048576, std::stoi(args[3]));
    return 0;
  }
  if (args.size() == 2 && args[0] == "--checksum") {
    MeasureChecksum(args[1]);
    return 0;
  }
  if (args.size() == 2 && args[0] == "--apply") {
    MeasureApply(args[1]);
    return 0;
  }

  bool keep = false;
  std::int64_t sizeMib = 256;
  int edits = 3000;
  const char* temp = std::getenv("TMPDIR");
  std::string dir = temp != nullptr && *temp != '\0' ? temp : "/tmp";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--keep") {
      keep = true;
    } else if (args[i] == "--size" && i + 1 < args.size()) {
      sizeMib = std::stoll(args[++i]);
    } else if (args[i] == "--edits" && i + 1 < args.size()) {
      edits = std::stoi(args[++i]);
    } else if (!args[i].empty() && args[i][0] != '-') {
      dir = args[i];
    } else {
      std::fprintf(stderr, "usage: apply_bench [--keep] [--size MiB] [--edits N] [DIR]\n");
      return 2;
    }
  }
  if (sizeMib < 1 || sizeMib > 1500 || edits < 0) Fail("size 1 to 1500 MiB, edits 0 or more");
  return RunAll(fs::read_symlink("/proc/self/exe").string(), dir, keep, sizeMib, edits);
}
