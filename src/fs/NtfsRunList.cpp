#include "fs/NtfsRunList.h"

namespace qm {
namespace {

uint64_t LoadField(std::span<const uint8_t> bytes, size_t at, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= uint64_t{bytes[at + i]} << (8 * i);
  return value;
}

}  // namespace

trunlist GetRunList(std::span<const uint8_t> bytes) {
  trunlist runs;
  if (bytes.empty()) return runs;
  size_t position = 1;
  uint64_t previous = 0;  // kept unsigned: a damaged list may wrap, which must not be undefined
  uint8_t header = bytes[0];
  while (header != 0) {
    const unsigned offsetSize = header >> 4;
    const unsigned lengthSize = header & 0x0F;
    if (position + offsetSize + lengthSize > bytes.size()) return runs;
    if (lengthSize > kMaxRunLengthBytes || offsetSize > kMaxRunOffsetBytes) return runs;
    TRun run;
    run.Clusters = LoadField(bytes, position, lengthSize);
    position += lengthSize;
    bool located = false;
    if (offsetSize > 0) {
      uint64_t delta = LoadField(bytes, position, offsetSize);
      located = delta != 0;
      // Distances of up to six bytes are signed; seven and eight byte ones are taken as
      // they stand.
      if (offsetSize <= 6 && (delta >> (8 * offsetSize - 1)) != 0) delta -= uint64_t{1} << (8 * offsetSize);
      previous += delta;
      run.Lcn = static_cast<int64_t>(previous);
      position += offsetSize;
    }
    if (located) runs.push_back(run);
    if (position >= bytes.size()) return runs;
    header = bytes[position++];
  }
  return runs;
}

}  // namespace qm
