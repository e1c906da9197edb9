// The walk over a FAT root directory: long names, the entries worth listing, and their
// names' case.
#include "browse/FatDir.h"

#include <algorithm>

#include "disk/SectorReader.h"
#include "model/Text.h"

namespace qm {
namespace {

constexpr uint8_t kLastLongPart = 0x40;
constexpr uint8_t kSequenceMask = 0x1F;
constexpr uint32_t kNoSize = 0xFFFFFFFF;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string FieldText(const TRawDirEntry& e, size_t offset, size_t length) {
  return TrimBlanks(std::string_view(reinterpret_cast<const char*>(e.data()) + offset, length));
}

// Lower-cases the letters of a name field in place; with `capital` the first letter of the
// name goes back to upper case.
void LowerField(TRawDirEntry& e, size_t offset, size_t length, bool capital) {
  bool first = true;
  for (size_t i = offset; i < offset + length; ++i) {
    char c = static_cast<char>(e[i]);
    if (c == ' ') continue;
    c = capital && first ? AsciiUpper(c) : AsciiLower(c);
    first = false;
    e[i] = static_cast<uint8_t>(c);
  }
}

// Short names are stored in upper case; a case byte says which halves were typed in lower
// case. FAT12/16 names with no flag at all are shown with a capital first letter only.
void ApplyNameCasing(TRawDirEntry& e, uint8_t kind) {
  const uint8_t flags = EntryCaseFlags(e);
  if (kind == fkFat32) {
    if (flags != kCaseLowerBase) return;
    LowerField(e, 0, 8, false);
    LowerField(e, 8, 3, false);
    return;
  }
  if (flags == 0x00 || flags == kCaseLowerBase || flags == (kCaseLowerBase | kCaseLowerExt))
    LowerField(e, 0, 8, flags == 0x00);
  LowerField(e, 8, 3, false);
}

// A group of a long-name part: up to `count` UTF-16 characters, ended early by a zero or by
// the 0xFFFF padding that fills the rest of the last part.
std::u16string LongNameGroup(const TRawDirEntry& e, size_t offset, size_t count) {
  std::u16string group;
  for (size_t i = 0; i < count; ++i) {
    const char16_t c = LoadLE<uint16_t>(&e[offset + 2 * i]);
    if (c == 0 || c == 0xFFFF) break;
    group += c;
  }
  return group;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return Utf16LeToUtf8(bytes);
}

// Whether the long-name run in `state` names the short entry `e`. The parts must have come
// in order down to part 1 and carry the short name's checksum. A deleted file's parts have
// lost their sequence numbers and its short name its first byte: any first byte that gives
// the checksum is taken.
bool LongNameBelongs(const TLongNameState& state, const TRawDirEntry& e) {
  if (state.Name.empty() || state.Broken || state.Checksum < 0) return false;
  if (e[0] != kDeletedMark) return state.NextSequence == 0 && ShortNameChecksum(e) == state.Checksum;
  if (state.NextSequence != -1) return false;
  TRawDirEntry probe = e;
  for (int first = 0; first < 256; ++first) {
    probe[0] = static_cast<uint8_t>(first);
    if (ShortNameChecksum(probe) == state.Checksum) return true;
  }
  return false;
}

bool IsDotEntry(const TRawDirEntry& e) {
  const std::string base = FieldText(e, 0, 8);
  return base == "." || base == "..";
}

// Step by step over one directory; the long-name state runs across the clusters of a chain.
class DirWalk {
 public:
  DirWalk(SectorReader& disk, const TFatLayout& layout, uint32_t dirCluster, TMidEntryList& list)
      : disk_(disk), layout_(layout), dirCluster_(dirCluster), list_(list) {}

  void Visit(std::span<const uint8_t> area) {
    for (size_t at = 0; at + kDirEntrySize <= area.size(); at += kDirEntrySize) {
      disk_.Pump();
      TRawDirEntry e;
      std::copy_n(area.begin() + static_cast<ptrdiff_t>(at), kDirEntrySize, e.begin());
      VisitEntry(e);
    }
  }

 private:
  void VisitEntry(const TRawDirEntry& e) {
    // A never-used entry, all zeros like most of a large directory's tail, lists nothing and
    // only ends a long-name run: no need to take it apart.
    if (std::all_of(e.begin(), e.end(), [](uint8_t b) { return b == 0; })) {
      longName_ = TLongNameState{};
      return;
    }
    if (IsDotEntry(e)) return;
    if (CollectLongName(e, longName_) != 0) return;
    const bool named = LongNameBelongs(longName_, e);
    const std::string pending = named ? TrimBlanks(Utf16ToUtf8(longName_.Name)) : std::string();
    longName_ = TLongNameState{};

    const uint32_t size = EntryFileSize(e);
    if (size == kNoSize) return;
    const uint8_t attributes = EntryAttributes(e);
    const bool deleted = e[0] == kDeletedMark;
    if (attributes & kAttrVolumeLabel) return;
    const uint32_t firstCluster = EntryFirstCluster(e);
    if (layout_.Kind == fkFat32 && firstCluster == layout_.RootCluster) return;

    const bool file = !(attributes & kAttrDirectory);
    const bool noCluster = layout_.Kind == fkFat32 ? firstCluster == 0 : LoadLE<uint16_t>(&e[26]) == 0;
    if (e[0] == 0 || FieldText(e, 0, 8).empty()) return;
    if (file && deleted && size == 0) return;
    if (size != 0 && !file && !deleted) return;
    if (file && size != 0 && noCluster) return;

    std::unique_ptr<TMidEntry> record =
        layout_.Kind == fkFat32 ? std::make_unique<TMidEntry32>() : std::make_unique<TMidEntry>();
    record->RawEntry = e;
    if (!pending.empty())
      record->LongName = pending;
    else
      ApplyNameCasing(record->RawEntry, layout_.Kind);
    record->DirCluster = dirCluster_;
    record->Deleted = deleted ? 1 : 0;
    list_.push_back(std::move(record));
  }

  SectorReader& disk_;
  const TFatLayout& layout_;
  uint32_t dirCluster_;
  TMidEntryList& list_;
  TLongNameState longName_;
};

}  // namespace

std::string EntryBaseName(const TRawDirEntry& e) { return FieldText(e, 0, 8); }
std::string EntryExtension(const TRawDirEntry& e) { return FieldText(e, 8, 3); }

bool IsFileEntry(const TMidEntry& entry) { return !(EntryAttributes(entry.RawEntry) & kAttrDirectory); }

uint8_t ShortNameChecksum(const TRawDirEntry& entry) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[i]);
  return sum;
}

int CollectLongName(const TRawDirEntry& e, TLongNameState& state) {
  // Any other entry ends the run; the caller judges the run against it and starts afresh.
  if (EntryAttributes(e) != kAttrLongName) return 0;
  // Parts lie on the disk last part first: the first one met carries 0x40 with the part
  // count, then the numbers run down to 1. A deleted file's parts all carry 0xE5 instead.
  const uint8_t sequence = e[0];
  const bool deleted = sequence == kDeletedMark;
  const int checksum = e[13];
  int result = 2;
  if (checksum != state.Checksum || (!deleted && (sequence & kLastLongPart))) {
    state = TLongNameState{};
    state.Checksum = checksum;
    if (deleted) {
      state.NextSequence = -1;
    } else {
      state.Broken = !(sequence & kLastLongPart) || (sequence & kSequenceMask) == 0;
      state.NextSequence = (sequence & kSequenceMask) - 1;
    }
    result = 1;
  } else if (deleted != (state.NextSequence == -1) ||
             (!deleted && (state.NextSequence <= 0 || (sequence & kSequenceMask) != state.NextSequence))) {
    state.Broken = true;
  } else if (!deleted) {
    --state.NextSequence;
  }
  state.Name = LongNameGroup(e, 1, 5) + LongNameGroup(e, 14, 6) + LongNameGroup(e, 28, 2) + state.Name;
  return result;
}

int CompareMidEntries(const TMidEntry& a, const TMidEntry& b) {
  if (a.DirCluster != b.DirCluster) return a.DirCluster < b.DirCluster ? -1 : 1;
  const auto key = [](const TMidEntry& m) {
    std::string k = EntryBaseName(m.RawEntry);
    std::transform(k.begin(), k.end(), k.begin(), AsciiLower);
    const std::string ext = EntryExtension(m.RawEntry);
    if (!ext.empty()) k += "." + ext;
    return k;
  };
  const std::string ka = key(a), kb = key(b);
  // Bytes compare as unsigned, so that a deleted entry (0xE5) sorts after letters and digits.
  const int c = std::char_traits<char>::compare(ka.data(), kb.data(), std::min(ka.size(), kb.size()));
  if (c != 0) return c;
  return ka.size() == kb.size() ? 0 : ka.size() < kb.size() ? -1 : 1;
}

void SortMidEntries(TMidEntryList& list) {
  std::stable_sort(list.begin(), list.end(), [](const std::unique_ptr<TMidEntry>& a, const std::unique_ptr<TMidEntry>& b) {
    return CompareMidEntries(*a, *b) < 0;
  });
}

Outcome EnumDir(const TFsVolume& volume, const TFatLayout& layout, TMidEntryList& list) {
  volume.Disk->Pump();
  // The long-name state runs across the clusters of a FAT32 root.
  DirWalk walk(*volume.Disk, layout, layout.Kind == fkFat32 ? layout.RootCluster : 0, list);
  return ReadRootArea(volume, layout, [&walk](std::span<const uint8_t> area) {
    walk.Visit(area);
    return false;
  });
}

}  // namespace qm
