// `quillmark-cli dump --sector N [--count K] SOURCE`: sectors as the sector viewer shows them,
// 16 bytes per line: the offset within the sector, the bytes in hexadecimal and as characters
// (a zero byte, a control code or a code without character as "."). Each sector is headed by
// " Sector N of TOTAL" and the column numbers. Sectors are 512-byte units, as everywhere.
#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "Command.h"
#include "Interrupt.h"
#include "model/HexText.h"

namespace qm::cli {
namespace {

struct DumpOptions {
  std::string sector;
  std::optional<std::string> count;
  std::string source;
};

int RunDump(const DumpOptions& options) {
  uint64_t first = 0, count = 1;
  if (!ParseWholeNumber(options.sector, UINT64_MAX, first)) {
    PrintError("--sector must be a sector number (LBA): decimal digits");
    return kExitUsage;
  }
  if (options.count && (!ParseWholeNumber(*options.count, UINT64_MAX, count) || count == 0)) {
    PrintError("--count must be a number of sectors from 1 up");
    return kExitUsage;
  }
  std::vector<std::unique_ptr<Disk>> disks;
  if (!OpenSources({options.source}, disks)) return kExitFailure;
  Disk& disk = *disks.front();
  TDriveGeometry geometry;
  if (!disk.QueryGeometry(geometry)) {
    PrintError("cannot read " + options.source);
    return kExitFailure;
  }
  // Sectors are the disk's own; each is read, and shown, in 512-byte blocks. The count is the
  // whole disk's, also where the geometry's 32-bit count stops short of it (2 TiB and more).
  const uint64_t blocks = BlocksPerSector(geometry);
  const uint64_t total = WholeDiskSectors(disk, geometry) / blocks;
  if (first >= total) {
    PrintError("sector " + std::to_string(first) + " lies beyond the end of " + options.source + ", which holds " +
               std::to_string(total) + " sectors");
    return kExitUsage;
  }
  if (count > total - first) {
    PrintError(options.source + " holds " + std::to_string(total - first) + " sectors from sector " +
               std::to_string(first) + " to its end");
    return kExitUsage;
  }

  InterruptScope interrupts;
  std::array<uint8_t, kSectorSize> buffer{};
  for (uint64_t sector = first; sector < first + count; ++sector)
    for (uint64_t piece = 0; piece < blocks; ++piece) {
      if (Interrupted()) return InterruptExitStatus();
      if (!disk.ReadSectors(sector * blocks + piece, 1, buffer.data(), true, true)) {
        PrintError("sector " + std::to_string(sector) + " cannot be read");
        return kExitFailure;
      }
      std::printf("%s%s", sector == first && piece == 0 ? "" : "\n", HexSectorCaption(sector, total).c_str());
      if (blocks > 1)
        std::printf(", bytes %llu to %llu", static_cast<unsigned long long>(piece * kSectorSize),
                    static_cast<unsigned long long>((piece + 1) * kSectorSize - 1));
      std::printf("\n%s\n", HexHeaderLine().c_str());
      for (int32_t line = 0; line < int32_t{kSectorSize} / kHexMaxBytesPerLine; ++line)
        std::printf("%s\n", HexTextLine(buffer, line).c_str());
    }
  return kExitOk;
}

}  // namespace

Command AddDumpCommand(CLI::App& app, const GlobalOptions&) {
  auto options = std::make_shared<DumpOptions>();
  CLI::App* sub =
      app.add_subcommand("dump", "Show sectors in hexadecimal and as characters, as the sector viewer does");
  sub->add_option("--sector", options->sector, "The first sector (LBA) to show")->required();
  sub->add_option("--count", options->count, "How many sectors to show (default 1)");
  sub->add_option("SOURCE", options->source, "Disk image file or block device")->required();
  return Command{sub, [options] { return RunDump(*options); }};
}

}  // namespace qm::cli
