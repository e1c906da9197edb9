#pragma once
// NTFS run lists (mapping pairs): where the clusters of a non-resident attribute lie.
#include <cstdint>
#include <span>
#include <vector>

namespace qm {

// One run of clusters: `Lcn` is the first cluster, counted from the start of the volume.
struct TRun {
  int64_t Lcn = 0;
  uint64_t Clusters = 0;
};
using trunlist = std::vector<TRun>;

// The widest length field decoded. Index allocations of real volumes never need more than
// four bytes; a wider field is taken as the end of what can be trusted.
constexpr unsigned kMaxRunLengthBytes = 4;
// An offset field wider than the 64-bit cluster number ends the decoding in the same way.
constexpr unsigned kMaxRunOffsetBytes = 8;

// Decodes the run list `bytes`. Each pair starts with a header
// byte: low nibble the width of the cluster count, high nibble the width of the signed
// distance from the previous run's first cluster. Decoding ends at a zero header, at a pair
// that does not fit the bytes, or at a field wider than the limits above; the runs before
// stay. Sparse runs (no offset, or an offset of zero bytes only) are left out.
trunlist GetRunList(std::span<const uint8_t> bytes);

}  // namespace qm
