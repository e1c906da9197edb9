#pragma once
// What the rebuild dialog's two lists hold, without the widgets: on the left the rows of the
// main window's partition list, on the right the partitions of the new layout with their
// Primary and Active marks, which the rebuild takes as the user's choices.
#include <cstdint>
#include <string>
#include <vector>

#include "edit/Rebuild.h"
#include "model/PartitionRows.h"

namespace qm::ui {

// A row of the new layout: the partition it stands for and how the list names it.
struct TRebuildEntry {
  TPartition* Record = nullptr;
  std::string Caption;  // "Partition 3", "Lost partition 1"
  bool Lost = false;    // a find of the scan, not a partition of the tables
  bool Primary = false;
  bool Active = false;  // only ever on a primary one
};

class TRebuildList {
 public:
  // The rows of the main window's list (group and blank rows included) and the index of its
  // first lost row. Empties the new layout.
  void SetSource(std::vector<TPartitionRow> rows, int firstLostRow);

  const std::vector<TPartitionRow>& Source() const { return source_; }
  const std::vector<TRebuildEntry>& Dest() const { return dest_; }
  int FirstLostRow() const { return firstLostRow_; }
  // Group and blank rows carry no record and cannot be chosen.
  bool Selectable(int sourceRow) const;

  // Puts the source row's partition into the new layout, at the end; false when the row has
  // none, it is there already, or it is unallocated space or an extended partition.
  bool Add(int sourceRow);
  void AddAll();
  // In ascending order of start, as the rebuild expects.
  void Sort();
  // Takes rows out of the new layout, with their marks.
  void Remove(int destRow);
  void Clear();

  // Each returns the message to show when the mark cannot change, else "".
  std::string TogglePrimary(int destRow);
  std::string ToggleActive(int destRow);

  // The new layout with its marks, as the rebuild takes it.
  std::vector<TRebuildChoice> Chosen() const;

  // A rebuild that did not start has read the drive's tables again, and the records of the
  // lists are gone. Remember() takes down the layout by place on the disk before the call;
  // Rebind() builds both lists from the new rows and puts the remembered partitions back with
  // their marks. Forget() lets go of the records without touching them.
  struct Remembered {
    uint64_t Start = 0;
    uint64_t Sectors = 0;
    bool Lost = false;
    bool Primary = false;
    bool Active = false;
  };
  std::vector<Remembered> Remember() const;
  void Rebind(std::vector<TPartitionRow> rows, int firstLostRow, const std::vector<Remembered>& layout);
  void Forget();

 private:
  TRebuildEntry* Entry(int destRow);
  bool AddRow(size_t sourceRow);

  std::vector<TPartitionRow> source_;
  int firstLostRow_ = 0;
  std::vector<TRebuildEntry> dest_;
};

}  // namespace qm::ui
