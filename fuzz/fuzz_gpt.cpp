// The GPT codec: the input becomes the first and the last sectors of a disk, whose GPT is read;
// a usable table is composed again, written onto the disk and read back, and must come back
// the same, from its primary copy, with nothing wrong with the backup.
//
// Input layout (little-endian):
//   u8  options: bit 0 set for 4096-byte logical sectors, else 512
//   u32 disk size in logical sectors
//   u32 length of the head: that many bytes from the start of the disk
//   then the head, then the tail: the rest of the input, ending at the disk's last byte.
// Every other byte of the disk reads as zero.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>

#include "FuzzDisk.h"
#include "disk/Bytes.h"
#include "model/Gpt.h"

using namespace qm;

namespace {

constexpr size_t kInputHeader = 9;

// A sparse disk in 512-byte units. A read outside it means the codec lost track of the disk's
// size, and stops the run.
class SparseSectors final : public SectorReader {
 public:
  explicit SparseSectors(uint64_t units) : units_(units) {}
  Outcome Read(Lba lba, uint32_t count, void* buffer) override {
    if (lba > units_ || count > units_ - lba) fuzz::Fail("read outside the disk");
    auto* out = static_cast<uint8_t*>(buffer);
    std::memset(out, 0, size_t{count} * 512);
    for (auto it = data_.lower_bound(lba); it != data_.end() && it->first < lba + count; ++it)
      std::copy(it->second.begin(), it->second.end(), out + (it->first - lba) * 512);
    return Outcome::Done();
  }
  void Put(uint64_t byteOffset, const uint8_t* bytes, size_t length) {
    for (size_t done = 0; done < length;) {
      const uint64_t at = byteOffset + done;
      auto [it, fresh] = data_.try_emplace(at / 512);
      if (fresh) it->second.fill(0);
      const size_t within = static_cast<size_t>(at % 512), piece = std::min(length - done, 512 - within);
      std::memcpy(it->second.data() + within, bytes + done, piece);
      done += piece;
    }
  }

 private:
  uint64_t units_;
  std::map<uint64_t, std::array<uint8_t, 512>> data_;
};

void CheckRead(const TGptRead& r) {
  if (r.Result.failed()) fuzz::Fail("a read of the in-memory disk failed");
  if ((r.Used == GptCopy::None) != !r.Gpt || r.Reason.empty() != bool(r.Gpt)) fuzz::Fail("copy in use and reason disagree");
  if (!r.Gpt) return;
  uint32_t previous = 0;
  for (const TGptEntry& e : r.Gpt->Entries) {
    if (e.Index <= previous || e.Index > r.Gpt->EntryCount || e.Type.IsZero()) fuzz::Fail("entry slots out of order");
    previous = e.Index;
  }
  for (const TGptEntryNote& n : r.EntryNotes)
    if (n.Index < 1 || n.Index > r.Gpt->EntryCount || n.Text.empty()) fuzz::Fail("a note names no entry");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kInputHeader) return 0;
  const uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
  const uint64_t diskSectors = LoadLE<uint32_t>(data + 1);
  const uint64_t diskBytes = diskSectors * sectorSize;
  const size_t body = size - kInputHeader;
  const size_t head = static_cast<size_t>(std::min<uint64_t>({LoadLE<uint32_t>(data + 5), body, diskBytes}));
  const size_t tail = static_cast<size_t>(std::min<uint64_t>(body - head, diskBytes));
  SparseSectors disk(diskBytes / 512);
  disk.Put(0, data + kInputHeader, head);
  disk.Put(diskBytes - tail, data + size - tail, tail);

  const TGptRead first = ReadGpt(disk, sectorSize, diskSectors);
  CheckRead(first);
  if (!first.Gpt) return 0;
  std::vector<TGptWrite> writes;
  if (!ComposeGpt(*first.Gpt, writes).ok()) fuzz::Fail("a table read as usable cannot be composed");
  for (const TGptWrite& w : writes) {
    if (w.Bytes.empty() || w.Bytes.size() % sectorSize || w.Lba >= diskSectors ||
        w.Bytes.size() / sectorSize > diskSectors - w.Lba)
      fuzz::Fail("a composed run lies outside the disk");
    disk.Put(w.Lba * sectorSize, w.Bytes.data(), w.Bytes.size());
  }
  const TGptRead again = ReadGpt(disk, sectorSize, diskSectors);
  CheckRead(again);
  if (again.Used != GptCopy::Primary || again.Backup.Fault != GptFault::None) fuzz::Fail("a composed table reads back damaged");
  if (again.Gpt->Entries != first.Gpt->Entries) fuzz::Fail("a composed table reads back with other entries");
  std::vector<TGptWrite> rewrites;
  if (!ComposeGpt(*again.Gpt, rewrites).ok() || rewrites.size() != writes.size()) fuzz::Fail("recomposing failed");
  for (size_t i = 0; i < writes.size(); ++i)
    if (rewrites[i].Lba != writes[i].Lba || rewrites[i].Bytes != writes[i].Bytes) fuzz::Fail("recomposing changed bytes");
  return 0;
}
