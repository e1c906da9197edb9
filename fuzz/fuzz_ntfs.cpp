// The NTFS record parsers on their own, where a run is cheap: the update sequence fix-up, then
// ReadAttribute on a file record of 1024 bytes, or of 4096 for a longer input (the input, cut
// or padded with zeros), for each attribute type the readers ask for and for the type named
// by the last input byte, GetRunList on the run list of each non-resident attribute found, and
// GetRunList on the raw input bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzDisk.h"
#include "fs/NtfsRecord.h"
#include "fs/NtfsRunList.h"

using namespace qm;

namespace {

void Decode(std::span<const uint8_t> bytes) { GetRunList(bytes); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> record(size > kFileRecordSize ? kMaxFileRecordSize : kFileRecordSize);
  std::copy_n(data, std::min(size, record.size()), record.begin());
  FixUpRecord(record);
  const uint32_t asked = size ? data[size - 1] * 0x10u : 0;
  for (uint32_t type : {0x10u, 0x30u, kAttrVolumeName, 0x80u, kAttrIndexRoot, 0xA0u, 0xB0u, asked}) {
    TAttribute attribute;
    if (!ReadAttribute(record, type, attribute)) continue;
    if (attribute.NonResident()) Decode(attribute.Data);
  }
  Decode({data, size});
  return 0;
}
