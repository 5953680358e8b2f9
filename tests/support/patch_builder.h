// Patches built by field for the tests, on top of the writer.
#ifndef MENDRIX_TESTS_SUPPORT_PATCH_BUILDER_H_
#define MENDRIX_TESTS_SUPPORT_PATCH_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "writer/delta_encoder.h"
#include "writer/patch_writer.h"

namespace mendrix::test {

// Size of the program file ahead of the reference patch's container.
constexpr std::size_t ReferencePrefixSize = 51200;

// The notice of the reference patch: 522 bytes, an English section of 244
// bytes with six zero bytes as line breaks, then a German section "#%de"...
std::string ReferenceNotice();

// The reference single-file patch: one entry with one variant whose streams
// rebuild a 5,167,888-byte file with four copies and three inserts.
TWriterPatch ReferencePatch();

// The four copies and three inserts of the reference variant, and its params.
std::vector<TDeltaOp> ReferenceOps();
TDeltaParams ReferenceParams();

// Encodes ops into a variant; a failure is reported to gtest and gives empty
// streams.
TWriterVariant MakeVariant(const std::vector<TDeltaOp>& ops, const TDeltaParams& params,
                           std::uint32_t sourceCrc, std::uint32_t sourceSize,
                           const std::string& name = "");

// prefix followed by the written container; a failure is reported to gtest.
std::vector<std::uint8_t> BuildPatch(const TWriterPatch& patch,
                                     std::vector<std::uint8_t> prefix = {});

}  // namespace mendrix::test

#endif  // MENDRIX_TESTS_SUPPORT_PATCH_BUILDER_H_
