#include "support/patch_builder.h"

#include <gtest/gtest.h>

namespace mendrix::test {

std::string ReferenceNotice() {
  // Six lines of English, each closed by a zero byte, padded to 244 bytes.
  std::string english;
  const char* lines[] = {"Mendrix reference patch", "brings the program to release 1.1",
                         "from release 1.0",        "Keep a copy of your files",
                         "before you go on.",       ""};
  for (const char* line : lines) {
    english += line;
    english += '\0';
  }
  english.insert(english.size() - 1, 244 - english.size(), '.');
  std::string german = std::string("#%de") + '\0' +
                       "Dieses Programm \x81"
                       "berf"
                       "\x81"
                       "hrt";
  german.resize(522 - english.size(), '.');
  return english + german;
}

std::vector<TDeltaOp> ReferenceOps() {
  const std::vector<std::uint8_t> fill5(5, 0x90);
  const std::vector<std::uint8_t> fill6(6, 0x90);
  return {
      TDeltaOp::Copy(115133, 0),  TDeltaOp::Insert({0x33}, true, 20),
      TDeltaOp::Copy(109583, 1),  TDeltaOp::Insert(fill5, true, 20),
      TDeltaOp::Copy(128856, 5),  TDeltaOp::Insert(fill6, true, 20),
      TDeltaOp::Copy(4814304, 6),
  };
}

TDeltaParams ReferenceParams() {
  TDeltaParams params;
  params.GroupLength = 190;
  params.VariantFlags = VariantAddModeOff;
  params.BlockLength = 20;
  params.NumberLimit = NumberLimitFor(params.VariantFlags, 5167888, 5167888);
  return params;
}

TWriterVariant MakeVariant(const std::vector<TDeltaOp>& ops, const TDeltaParams& params,
                           std::uint32_t sourceCrc, std::uint32_t sourceSize,
                           const std::string& name) {
  TWriterVariant variant;
  variant.Name = name;
  variant.Info.SourceCrc = sourceCrc;
  variant.Info.SourceSize = sourceSize;
  variant.Info.GroupLength = params.GroupLength;
  variant.Info.VariantFlags = params.VariantFlags;
  variant.Info.BlockLength = params.BlockLength;
  std::string error;
  EXPECT_TRUE(EncodeDelta(ops, params, variant.Streams, error)) << error;
  return variant;
}

TWriterPatch ReferencePatch() {
  TWriterPatch patch;
  patch.PatchKind = 1;
  patch.Notice = ReferenceNotice();
  patch.BackupName = "Backup";
  TWriterEntry entry;
  entry.Info.ResultCrc = 0x342359AE;
  entry.Info.ResultSize = 5167888;
  entry.Info.ResultTime = 0x255A74E1;
  entry.Variants.push_back(MakeVariant(ReferenceOps(), ReferenceParams(), 0xA0C4117F, 5167888));
  patch.Entries.push_back(entry);
  return patch;
}

std::vector<std::uint8_t> BuildPatch(const TWriterPatch& patch, std::vector<std::uint8_t> prefix) {
  std::string error;
  EXPECT_TRUE(WritePatch(patch, prefix, error)) << error;
  return prefix;
}

}  // namespace mendrix::test
