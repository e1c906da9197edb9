#include "disk/KernelPartitions.h"

#include <linux/blkpg.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>

#include "disk/Bytes.h"

namespace qm {
namespace {

constexpr size_t kTable = 0x1BE;
constexpr int kMaxTables = 256;

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool Signed(const std::array<uint8_t, 512>& s) { return s[510] == 0x55 && s[511] == 0xAA; }

uint64_t ReadNumber(const std::filesystem::path& file) {
  std::ifstream in(file);
  uint64_t value = 0;
  in >> value;
  return in ? value : 0;
}

bool Blkpg(int fd, int op, const KernelPartition& p) {
  blkpg_partition part{};
  part.pno = p.Number;
  part.start = static_cast<long long>(p.Start * 512);
  part.length = static_cast<long long>(p.Sectors * 512);
  blkpg_ioctl_arg arg{};
  arg.op = op;
  arg.datalen = sizeof part;
  arg.data = &part;
  return ::ioctl(fd, BLKPG, &arg) == 0;
}

}  // namespace

std::vector<KernelPartition> PartitionsOfTables(const std::function<bool(uint64_t, uint8_t*)>& read) {
  std::vector<KernelPartition> list;
  std::array<uint8_t, 512> sector{};
  if (!read(0, sector.data()) || !Signed(sector)) return list;
  const std::array<uint8_t, 512> mbr = sector;
  int number = 5;  // the logical drives of every extended partition count on from here
  for (int slot = 0; slot < 4; ++slot) {
    const size_t at = kTable + 16 * static_cast<size_t>(slot);
    const uint8_t type = mbr[at + 4];
    const uint64_t start = GetU32(mbr, at + 8), size = GetU32(mbr, at + 12);
    if (type == 0 || size == 0) continue;
    if (!IsExtendedType(type)) {
      list.push_back({slot + 1, start, size});
      continue;
    }
    list.push_back({slot + 1, start, 2});
    std::set<uint64_t> seen;
    for (uint64_t ebr = start; seen.size() < kMaxTables && seen.insert(ebr).second;) {
      if (!read(ebr, sector.data()) || !Signed(sector)) break;
      uint64_t next = 0;
      for (int e = 0; e < 4; ++e) {
        const size_t off = kTable + 16 * static_cast<size_t>(e);
        const uint8_t t = sector[off + 4];
        const uint64_t rel = GetU32(sector, off + 8), n = GetU32(sector, off + 12);
        if (n == 0 || t == 0) continue;
        if (IsExtendedType(t)) {
          if (next == 0) next = start + rel;
        } else {
          list.push_back({number++, ebr + rel, n});
        }
      }
      if (next == 0) break;
      ebr = next;
    }
  }
  return list;
}

std::vector<KernelPartition> ListedPartitions(dev_t device) {
  std::vector<KernelPartition> list;
  const std::filesystem::path dir =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const auto number = ReadNumber(entry.path() / "partition");
    if (number == 0) continue;
    list.push_back({static_cast<int>(number), ReadNumber(entry.path() / "start"), ReadNumber(entry.path() / "size")});
  }
  std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.Number < b.Number; });
  return list;
}

std::vector<std::pair<int, int>> UpdatePartitions(int fd, const std::vector<KernelPartition>& now,
                                                  const std::vector<KernelPartition>& wanted) {
  std::vector<std::pair<int, int>> failed;
  auto find = [](const std::vector<KernelPartition>& list, int number) {
    return std::find_if(list.begin(), list.end(), [&](const KernelPartition& p) { return p.Number == number; });
  };
  std::vector<KernelPartition> kept;  // what the kernel lists once the removals are done
  for (const KernelPartition& p : now) {
    const auto w = find(wanted, p.Number);
    if (w != wanted.end() && w->Start == p.Start) {
      kept.push_back(p);
    } else if (Blkpg(fd, BLKPG_DEL_PARTITION, p)) {
      continue;
    } else {
      failed.emplace_back(p.Number, errno);
      kept.push_back(p);
    }
  }
  for (const KernelPartition& w : wanted) {
    const auto k = find(kept, w.Number);
    if (k == kept.end()) {
      if (!Blkpg(fd, BLKPG_ADD_PARTITION, w)) failed.emplace_back(w.Number, errno);
    } else if (k->Start == w.Start && k->Sectors != w.Sectors) {
      if (!Blkpg(fd, BLKPG_RESIZE_PARTITION, w)) failed.emplace_back(w.Number, errno);
    }
  }
  return failed;
}

}  // namespace qm
