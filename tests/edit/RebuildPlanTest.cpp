// The checks a rebuild plan must pass before anything is built or asked, on hand-made records:
// each row lists the chosen partitions (start+size, P for primary) and the first failure.
#include <gtest/gtest.h>

#include <sstream>

#include "edit/Rebuild.h"

namespace qm {
namespace {

#define QM_NO_ROOM(n)                                                                                     \
  "There's no free space to create Inner Extended Partition\rfor available partition " #n ".\r\rPlease set " \
  "this partition 'Primary' to try again."

TEST(RebuildPlan, FirstFailingCheckIsReported) {
  const struct {
    const char* plan;
    const char* failure;  // "" when the plan passes
  } cases[] = {
      {"63+100P 200+100P 300+100P 400+100P", ""},
      {"63+100P 200+100P 300+100P 400+100P 600+100", "Too many primary partitions to rebuild partition table."},
      {"100+100 300+100P 500+100", "Logical drives cannot be comparted by primary partitions."},
      {"63+100P 63+100 300+100", "Some sectors were allocated to more than one partitions:\r\r#1, #2"},
      {"63+100P 300+100 399+100", "Some sectors were allocated to more than one partitions:\r\r#2, #3"},
      // The first logical drive's extended boot record goes right behind the partition before.
      {"63+100P 163+100", QM_NO_ROOM(2)},
      {"63+100P 164+100", ""},
      // Every further one goes a whole track in front of it.
      {"100+100 262+100", QM_NO_ROOM(2)},
      {"100+100 263+100", ""},
      // With no partition in front, one track in front of the first: never on sector 0.
      {"63+100", QM_NO_ROOM(1)},
      {"64+100 200+100P", ""},
      {"", "Choose at least one partition to rebuild the partition table."},
      {"999950+100P", "Partition 1 reaches beyond the end of the drive."},
      {"500+100P 100+100P", "The partitions to rebuild must be listed in the order of their start."},
  };
  TDriveGeometry geometry;
  geometry.SectorsPerTrack = 63;
  geometry.TotalSectors = 1'000'000;
  const TPhysicalDrv drive(0x80, geometry);
  for (const auto& c : cases) {
    std::vector<TPartition> records;
    std::vector<bool> primary;
    std::istringstream words(c.plan);
    for (std::string word; words >> word;) {
      TPartition& r = records.emplace_back();
      r.Entry.SystemId = 0x06;
      std::sscanf(word.c_str(), "%u+%u", &r.Entry.RelativeSector, &r.Entry.TotalSectors);
      primary.push_back(word.back() == 'P');
    }
    std::vector<TRebuildChoice> chosen;
    for (size_t i = 0; i < records.size(); ++i) chosen.push_back({&records[i], primary[i]});
    EXPECT_EQ(CheckRebuildPlan(drive, chosen), c.failure) << c.plan;
  }
}

}  // namespace
}  // namespace qm
