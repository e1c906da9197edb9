#include "ui/RebuildList.h"

#include <algorithm>
#include <cctype>

namespace qm::ui {
namespace {

constexpr int kMaxPrimary = 4;

// The row's number as its "No." cell shows it behind the indent ("    12 - [Active]" is 12).
std::string RowNumber(const std::string& caption) {
  const size_t first = caption.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  size_t end = first;
  while (end < caption.size() && std::isdigit(static_cast<unsigned char>(caption[end]))) ++end;
  return caption.substr(first, end - first);
}

}  // namespace

void TRebuildList::SetSource(std::vector<TPartitionRow> rows, int firstLostRow) {
  source_ = std::move(rows);
  firstLostRow_ = firstLostRow;
  dest_.clear();
}

bool TRebuildList::Selectable(int sourceRow) const {
  return sourceRow >= 0 && sourceRow < static_cast<int>(source_.size()) &&
         source_[static_cast<size_t>(sourceRow)].Record != nullptr;
}

bool TRebuildList::AddRow(size_t sourceRow) {
  TPartition* record = source_[sourceRow].Record;
  if (!record) return false;
  if (std::any_of(dest_.begin(), dest_.end(), [&](const TRebuildEntry& e) { return e.Record == record; })) return false;
  // Unallocated space and extended partitions are no entries of the new layout: the rebuild
  // makes its own extended partition.
  if (record->IsGap() || record->IsExtended()) return false;
  const bool lost = static_cast<int>(sourceRow) >= firstLostRow_;
  dest_.push_back({record, (lost ? "Lost partition " : "Partition ") + RowNumber(source_[sourceRow].Caption), lost});
  return true;
}

bool TRebuildList::Add(int sourceRow) { return Selectable(sourceRow) && AddRow(static_cast<size_t>(sourceRow)); }

void TRebuildList::AddAll() {
  for (size_t row = 0; row < source_.size(); ++row) AddRow(row);
}

void TRebuildList::Sort() {
  std::stable_sort(dest_.begin(), dest_.end(), [](const TRebuildEntry& a, const TRebuildEntry& b) {
    return ComparePartitionStart(a.Record, b.Record) < 0;
  });
}

TRebuildEntry* TRebuildList::Entry(int destRow) {
  if (destRow < 0 || destRow >= static_cast<int>(dest_.size())) return nullptr;
  return &dest_[static_cast<size_t>(destRow)];
}

void TRebuildList::Remove(int destRow) {
  TRebuildEntry* entry = Entry(destRow);
  if (!entry) return;
  dest_.erase(dest_.begin() + destRow);
}

void TRebuildList::Clear() { dest_.clear(); }

std::string TRebuildList::TogglePrimary(int destRow) {
  TRebuildEntry* entry = Entry(destRow);
  if (!entry) return "";
  if (entry->Primary) {
    entry->Primary = entry->Active = false;
    return "";
  }
  const auto primaries = std::count_if(dest_.begin(), dest_.end(), [](const TRebuildEntry& e) { return e.Primary; });
  if (primaries >= kMaxPrimary) return "Exceeded the max. primary partition count: 4.";
  entry->Primary = true;
  return "";
}

std::string TRebuildList::ToggleActive(int destRow) {
  TRebuildEntry* entry = Entry(destRow);
  if (!entry) return "";
  if (entry->Active) {
    entry->Active = false;
    return "";
  }
  if (!entry->Primary) return "Active partition must be a primary partition.";
  for (TRebuildEntry& other : dest_) other.Active = false;
  entry->Active = true;
  return "";
}

std::vector<TRebuildChoice> TRebuildList::Chosen() const {
  std::vector<TRebuildChoice> chosen;
  for (const TRebuildEntry& entry : dest_) chosen.push_back({entry.Record, entry.Primary, entry.Active});
  return chosen;
}

std::vector<TRebuildList::Remembered> TRebuildList::Remember() const {
  std::vector<Remembered> layout;
  for (const TRebuildEntry& entry : dest_) {
    const TPartition& r = *entry.Record;
    layout.push_back({r.AbsoluteStart(), r.Entry.TotalSectors, entry.Lost, entry.Primary, entry.Active});
  }
  return layout;
}

void TRebuildList::Rebind(std::vector<TPartitionRow> rows, int firstLostRow, const std::vector<Remembered>& layout) {
  SetSource(std::move(rows), firstLostRow);
  for (const Remembered& kept : layout) {
    for (size_t row = 0; row < source_.size(); ++row) {
      const TPartition* r = source_[row].Record;
      if (!r || (static_cast<int>(row) >= firstLostRow_) != kept.Lost || r->AbsoluteStart() != kept.Start ||
          r->Entry.TotalSectors != kept.Sectors || !AddRow(row))
        continue;
      dest_.back().Primary = kept.Primary;
      dest_.back().Active = kept.Primary && kept.Active;
      break;
    }
  }
}

void TRebuildList::Forget() {
  source_.clear();
  dest_.clear();
}

}  // namespace qm::ui
