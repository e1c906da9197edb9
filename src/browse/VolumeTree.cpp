// The volume tree: libtsk over our sector layer. libtsk asks for byte ranges of an "external"
// image; each one is read here as whole 512-byte sectors through the disk.
#include "browse/VolumeTree.h"

#include <tsk/libtsk.h>
#include <tsk/fs/tsk_ext2fs.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <type_traits>
#include <unordered_set>

#include "disk/Bytes.h"
#include "fs/FsKind.h"
#include "fs/NtfsRecord.h"
#include "fs/Unicode.h"

namespace qm {
namespace {

constexpr size_t kSector = 512;
constexpr uint32_t kRetryPiece = 128;      // sectors re-read one piece at a time after a failed run
constexpr size_t kKeptUnreadable = 4096;   // unreadable sectors remembered by number
constexpr size_t kMaxLinkTarget = 4096;
const std::set<std::string> kExfatBookkeeping = {"$ALLOC_BITMAP", "$UPCASE_TABLE", "$VOLUME_GUID", "$TEX_FAT", "$ACT"};

std::string TskErrorText() {
  const char* text = tsk_error_get();
  std::string line = text ? text : "libtsk gave no reason";
  tsk_error_reset();
  return line;
}

TSK_FS_TYPE_ENUM TskTypeOf(uint8_t kind) {
  if (IsFatKind(kind)) return TSK_FS_TYPE_FAT_DETECT;
  switch (kind) {
    case fkNtfs: return TSK_FS_TYPE_NTFS_DETECT;
    case fkExt2:
    case fkExt3:
    case fkExt4:
    case fkLinuxExt2: return TSK_FS_TYPE_EXT_DETECT;
    case fkExfat: return TSK_FS_TYPE_EXFAT;
    default: return TSK_FS_TYPE_DETECT;
  }
}

TTreeTime TimeOf(time_t seconds, uint32_t nanos) {
  TTreeTime t;
  t.Seconds = static_cast<int64_t>(seconds);
  t.Nanos = nanos < 1'000'000'000u ? nanos : 0;
  t.Known = seconds != 0 || nanos != 0;
  return t;
}

TreeEntryType TypeOfMeta(TSK_FS_META_TYPE_ENUM type) {
  switch (type) {
    case TSK_FS_META_TYPE_REG: return TreeEntryType::File;
    case TSK_FS_META_TYPE_DIR: return TreeEntryType::Directory;
    case TSK_FS_META_TYPE_LNK: return TreeEntryType::Symlink;
    default: return TreeEntryType::Other;
  }
}

TreeEntryType TypeOfName(TSK_FS_NAME_TYPE_ENUM type) {
  switch (type) {
    case TSK_FS_NAME_TYPE_REG: return TreeEntryType::File;
    case TSK_FS_NAME_TYPE_DIR: return TreeEntryType::Directory;
    case TSK_FS_NAME_TYPE_LNK: return TreeEntryType::Symlink;
    default: return TreeEntryType::Other;
  }
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// An entry from its name and, when it could be read, its record.
TTreeEntry MakeEntry(const std::string& name, uint64_t inode, bool deleted, const TSK_FS_META* meta, TreeEntryType byName) {
  TTreeEntry entry;
  entry.Name = name;
  entry.Inode = inode;
  entry.Deleted = deleted;
  if (meta) {
    entry.Type = TypeOfMeta(meta->type);
    entry.Size = meta->size > 0 ? static_cast<uint64_t>(meta->size) : 0;
    entry.Modified = TimeOf(meta->mtime, meta->mtime_nano);
    entry.Accessed = TimeOf(meta->atime, meta->atime_nano);
    entry.Changed = TimeOf(meta->ctime, meta->ctime_nano);
    entry.Created = TimeOf(meta->crtime, meta->crtime_nano);
    // A deleted name whose record is in use again describes another file's data.
    entry.DataLost = deleted && (meta->flags & TSK_FS_META_FLAG_ALLOC) != 0;
  } else {
    entry.Type = byName;
    entry.DataLost = true;
  }
  if (deleted && entry.Type == TreeEntryType::Other) entry.Type = byName;
  return entry;
}

// The type an ext2/3/4 folder entry gives its file.
TreeEntryType TypeOfExtEntry(uint8_t type) {
  switch (type) {
    case 1: return TreeEntryType::File;
    case 2: return TreeEntryType::Directory;
    case 7: return TreeEntryType::Symlink;
    default: return TreeEntryType::Other;
  }
}

constexpr uint64_t kMaxExtFolderBytes = uint64_t{64} << 20;  // a million entries and more

// An NTFS folder's index: its entries are a header (file reference 8, entry length 2, key
// length 2, flags 4) and the key, a copy of the file's $FILE_NAME: parent reference at 16,
// flags at 72, name length in characters at 80, name space at 81, the UTF-16 name from 82.
constexpr size_t kNtfsNameAt = 82;
constexpr uint32_t kNtfsLastEntry = 0x02;
constexpr uint8_t kNtfsDosNames = 2;  // the 8.3 twin of a long name, listed under that name
constexpr uint32_t kNtfsFolderFlag = 0x10000000;
constexpr uint64_t kNtfsRecordMask = 0xFFFFFFFFFFFFull;
constexpr uint64_t kMaxNtfsIndexBytes = uint64_t{256} << 20;  // a million long names and more
constexpr size_t kMaxNamesOfRecord = 16;

// Whether NTFS record `meta` still describes the file of a deleted name that carries sequence
// number `sequence`. NTFS counts a record's uses: freeing it adds one, so a deleted name
// carries the number before. A freed record one use on still describes that file; one in use
// again does not.
bool FreedRecordOf(const TSK_FS_META* meta, uint32_t sequence) {
  return (meta->flags & TSK_FS_META_FLAG_ALLOC) == 0 &&
         (meta->seq == sequence || meta->seq == ((sequence + 1) & 0xFFFF));
}

// One name found in an NTFS folder's index, live or left behind.
struct TNtfsName {
  uint64_t Record = 0;
  uint16_t Sequence = 0;
  std::string Name;
  bool Folder = false;
  bool Deleted = false;
};

// The name at `at` of `area`, when a whole entry of this folder's lies there (its key checked
// against the area's end): false for anything else, so that left-behind bytes may be tried.
bool ReadNtfsName(std::span<const uint8_t> area, size_t at, uint64_t folder, TNtfsName& out, size_t& length) {
  if (at + kNtfsNameAt > area.size()) return false;
  const uint8_t characters = area[at + 80];
  const size_t need = kNtfsNameAt + 2 * size_t{characters};
  const uint16_t keyLength = LoadLE<uint16_t>(&area[at + 10]);
  if (characters == 0 || area[at + 81] > 3 || at + need > area.size() || keyLength < need - 16 ||
      (LoadLE<uint64_t>(&area[at + 16]) & kNtfsRecordMask) != folder)
    return false;
  const uint64_t reference = LoadLE<uint64_t>(&area[at]);
  out.Record = reference & kNtfsRecordMask;
  out.Sequence = static_cast<uint16_t>(reference >> 48);
  out.Folder = (LoadLE<uint32_t>(&area[at + 72]) & kNtfsFolderFlag) != 0;
  out.Name = area[at + 81] == kNtfsDosNames ? std::string()
                                            : Utf16LeToUtf8(area.subspan(at + kNtfsNameAt, need - kNtfsNameAt));
  length = (need + 7) & ~size_t{7};
  return true;
}

// The names of one index node, from its entries at `first` to the end of those in use, then,
// with `withDeleted`, the names left behind up to `end`: entries removed since, whose bytes
// remain past the closing entry. A node no longer in use (`live` false) holds only those.
void ReadNtfsNode(std::span<const uint8_t> area, size_t first, size_t used, size_t end, uint64_t folder, bool live,
                  bool withDeleted, std::vector<TNtfsName>& names) {
  used = std::min(used, area.size());
  end = std::min(end, area.size());
  size_t at = first;
  TNtfsName name;
  size_t length = 0;
  while (live && at + 16 <= used) {
    const uint16_t entryLength = LoadLE<uint16_t>(&area[at + 8]);
    if ((LoadLE<uint32_t>(&area[at + 12]) & kNtfsLastEntry) != 0 || entryLength < 16 || entryLength % 8 != 0) break;
    if (ReadNtfsName(area, at, folder, name, length) && !name.Name.empty()) names.push_back(name);
    at += entryLength;
  }
  if (!withDeleted) return;
  for (at = (at + 7) & ~size_t{7}; at + kNtfsNameAt <= end;) {
    if (ReadNtfsName(area, at, folder, name, length) && at + length <= end) {
      name.Deleted = true;
      if (!name.Name.empty()) names.push_back(name);
      at += length;
    } else {
      at += 8;
    }
  }
}

}  // namespace

struct TVolumeTree::State {
  // libtsk's image record comes first: the read callback is handed a pointer to it and finds
  // the rest of the state behind it.
  TSK_IMG_INFO img{};
  SectorReader* disk = nullptr;
  uint64_t diskSectors = 0;
  TSK_FS_INFO* fs = nullptr;
  bool imgOpen = false;
  TSK_FS_FILE* file = nullptr;  // the file last read, kept open for its next chunk
  uint64_t fileInode = UINT64_MAX;
  uint64_t unreadable = 0;
  bool zeroFilled = false;      // libtsk's cache may hold zeros in the place of unreadable sectors
  std::set<Lba> unreadableList;
  std::vector<uint8_t> bounce;
  bool freedRead = false;
  std::map<uint64_t, std::vector<TNtfsName>> freed;  // freed NTFS records by the folder they name

  ~State() {
    if (file) tsk_fs_file_close(file);
    if (fs) tsk_fs_close(fs);
    // The record is ours: closing it only releases libtsk's lock.
    if (imgOpen) tsk_img_close(&img);
  }

  void MarkUnreadable(Lba lba) {
    ++unreadable;
    zeroFilled = true;
    if (unreadableList.size() < kKeptUnreadable) unreadableList.insert(lba);
  }

  // Reads `count` sectors at `lba`; a run that fails is read again piece by piece, then
  // sector by sector, and only the sectors that still fail become zeros.
  void ReadSectorsTolerant(Lba lba, uint32_t count, uint8_t* out) {
    if (disk->Read(lba, count, out)) return;
    for (uint32_t done = 0; done < count;) {
      const uint32_t piece = std::min(kRetryPiece, count - done);
      uint8_t* at = out + size_t{done} * kSector;
      if (piece == count || !disk->Read(lba + done, piece, at)) {
        for (uint32_t s = 0; s < piece; ++s)
          if (!disk->Read(lba + done + s, 1, at + size_t{s} * kSector)) {
            std::memset(at + size_t{s} * kSector, 0, kSector);
            MarkUnreadable(lba + done + s);
          }
      }
      done += piece;
    }
  }

  // Before each call: zeros that stood in for unreadable sectors are not served again from
  // libtsk's cache, so that every file read over them is told. No other thread uses this
  // image, so its cache lock need not be taken.
  void DropZeroFilledCache() {
    if (!zeroFilled) return;
    std::fill(std::begin(img.cache_len), std::end(img.cache_len), size_t{0});
    zeroFilled = false;
  }

  static ssize_t ReadCallback(TSK_IMG_INFO* img, TSK_OFF_T off, char* buf, size_t len) {
    auto* self = reinterpret_cast<State*>(img);
    const uint64_t size = self->diskSectors * kSector;
    if (off < 0 || static_cast<uint64_t>(off) >= size) {
      tsk_error_reset();
      tsk_error_set_errno(TSK_ERR_IMG_READ_OFF);
      tsk_error_set_errstr("read at byte %lld lies beyond the disk", static_cast<long long>(off));
      return -1;
    }
    const uint64_t begin = static_cast<uint64_t>(off);
    len = static_cast<size_t>(std::min<uint64_t>(len, size - begin));
    const Lba first = begin / kSector;
    const Lba end = (begin + len + kSector - 1) / kSector;
    const size_t skip = static_cast<size_t>(begin % kSector);
    if (skip == 0 && len % kSector == 0) {
      self->ReadSectorsTolerant(first, static_cast<uint32_t>(end - first), reinterpret_cast<uint8_t*>(buf));
    } else {
      self->bounce.resize(static_cast<size_t>(end - first) * kSector);
      self->ReadSectorsTolerant(first, static_cast<uint32_t>(end - first), self->bounce.data());
      std::memcpy(buf, self->bounce.data() + skip, len);
    }
    return static_cast<ssize_t>(len);
  }
  static void CloseCallback(TSK_IMG_INFO*) {}
  static void StatCallback(TSK_IMG_INFO*, FILE*) {}

  // The entries of an ext2/3/4 folder, read from its data here: libtsk's folder loader checks
  // every new name against all before it, and a folder of 100,000 entries takes seconds. A
  // folder's blocks hold entries of inode (4), record length (2), name length (1), type (1)
  // and the name; a deleted entry lies in the record of the one before it, past that one's
  // name. The tree of a hashed folder hides in entries of inode 0, which are passed over.
  // False when the folder is not one this reads (its data kept inside its record): libtsk then
  // lists it.
  bool ListExt(uint64_t inode, bool withDeleted, std::vector<TTreeEntry>& entries, size_t& seen, Outcome& failure) {
    TSK_FS_FILE* folder = OpenRecord(inode);
    if (!folder && InlineBeyondRecord(inode)) {  // not for libtsk's folder reader either
      failure = Outcome::Failed("The folder cannot be read: " + TskErrorText(), "Browse");
      return true;
    }
    if (!folder || !folder->meta || folder->meta->content_type == TSK_FS_META_CONTENT_TYPE_EXT4_INLINE ||
        fs->block_size < 1024) {
      if (folder) tsk_fs_file_close(folder);
      return false;
    }
    // A record whose type was damaged is still read as a folder: entries that do not parse are
    // passed over below.
    if (MapBeyondVolume(folder->meta)) {
      failure = MapRefused("folder " + std::to_string(inode), folder->meta);
      tsk_fs_file_close(folder);
      return true;
    }
    const uint64_t size = std::min<uint64_t>(folder->meta->size > 0 ? static_cast<uint64_t>(folder->meta->size) : 0,
                                             kMaxExtFolderBytes);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    for (size_t at = 0; at < data.size();) {
      const size_t piece = std::min<size_t>(data.size() - at, size_t{1} << 20);
      const ssize_t got = tsk_fs_file_read(folder, static_cast<TSK_OFF_T>(at), reinterpret_cast<char*>(data.data() + at),
                                           piece, TSK_FS_FILE_READ_FLAG_NONE);
      if (got <= 0) {
        data.resize(at);
        break;
      }
      at += static_cast<size_t>(got);
    }
    tsk_fs_file_close(folder);
    if (data.empty() && size > 0) {
      failure = Outcome::Failed("The folder cannot be read: " + TskErrorText(), "Browse");
      return true;
    }
    const size_t block = fs->block_size;
    // The names first; their records are read afterwards in the order of their numbers: a
    // hashed folder lists them in hash order, and reading the records in that order would
    // jump about the inode tables.
    struct Found {
      size_t At;
      uint8_t NameLength;
      bool Deleted;
    };
    std::vector<Found> found;
    auto add = [&](size_t at, uint8_t nameLength, bool deleted) {
      const bool dot = (nameLength == 1 && data[at + 8] == '.') || (nameLength == 2 && data[at + 8] == '.' && data[at + 9] == '.');
      if (dot) return;
      ++seen;
      if (found.size() < kMaxFolderEntries) found.push_back({at, nameLength, deleted});
    };
    for (size_t start = 0; start + block <= data.size(); start += block) {
      const size_t end = start + block;
      for (size_t at = start; at + 8 <= end;) {
        const uint16_t length = LoadLE<uint16_t>(&data[at + 4]);
        const uint8_t nameLength = data[at + 6];
        if (length < 8 || length % 4 != 0 || at + length > end) break;  // the rest of a damaged block
        const uint32_t number = LoadLE<uint32_t>(&data[at]);
        size_t used = 8;
        if (number != 0 && nameLength > 0 && 8u + nameLength <= length) {
          add(at, nameLength, false);
          used = (8u + nameLength + 3u) & ~size_t{3};
        }
        // What lies behind the live name in its record: entries deleted since.
        for (size_t gap = at + used; withDeleted && gap + 8 <= at + length;) {
          const uint32_t lostNumber = LoadLE<uint32_t>(&data[gap]);
          const uint16_t lostLength = LoadLE<uint16_t>(&data[gap + 4]);
          const uint8_t lostName = data[gap + 6];
          if (lostNumber != 0 && lostNumber <= fs->last_inum && lostName > 0 && gap + 8 + lostName <= at + length &&
              lostLength >= 8u + lostName && data[gap + 7] <= 7) {
            add(gap, lostName, true);
            gap += (8u + lostName + 3u) & ~size_t{3};
          } else {
            gap += 4;
          }
        }
        at += length;
      }
    }
    // A hashed folder that split a block leaves the moved names behind in the old one: a
    // deleted name that is also a live one (same name, same record) is that, not a deletion.
    std::unordered_set<std::string> live;
    auto key = [&](const Found& f) {
      return std::string(reinterpret_cast<const char*>(&data[f.At]), 4) +
             std::string(reinterpret_cast<const char*>(&data[f.At + 8]), f.NameLength);
    };
    for (const Found& f : found)
      if (!f.Deleted) live.insert(key(f));
    std::unordered_set<std::string> ghosts;
    seen -= std::erase_if(found, [&](const Found& f) {
      return f.Deleted && (live.count(key(f)) != 0 || !ghosts.insert(key(f)).second);
    });
    std::vector<size_t> order(found.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto numberOf = [&](const Found& f) { return LoadLE<uint32_t>(&data[f.At]); };
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return numberOf(found[a]) < numberOf(found[b]); });
    std::vector<TTreeEntry> made(found.size());
    for (size_t i : order) {
      const Found& f = found[i];
      const uint32_t number = numberOf(f);
      const std::string name(reinterpret_cast<const char*>(&data[f.At + 8]), f.NameLength);
      TSK_FS_FILE* record = number <= fs->last_inum ? OpenRecord(number) : nullptr;
      made[i] = MakeEntry(name, number, f.Deleted, record ? record->meta : nullptr, TypeOfExtEntry(data[f.At + 7]));
      if (record) tsk_fs_file_close(record);
    }
    entries = std::move(made);
    return true;
  }

  // The entries of an NTFS folder, read from its index here for the reason ListExt gives. The
  // index root in the folder's record holds the top node; the blocks of its allocation the
  // others, each an "INDX" record fixed up like a file record, in use when the index's bitmap
  // says so. With `withDeleted`, names left behind in the nodes, and freed records that still
  // name this folder as their parent, are its deleted entries. False when the folder has no
  // index this reads: libtsk then lists it.
  bool ListNtfs(uint64_t inode, bool withDeleted, std::vector<TTreeEntry>& entries, size_t& seen, Outcome& failure) {
    TSK_FS_FILE* folder = tsk_fs_file_open_meta(fs, nullptr, static_cast<TSK_INUM_T>(inode));
    const TSK_FS_ATTR* root = nullptr;
    const TSK_FS_ATTR* blocks = nullptr;
    const TSK_FS_ATTR* bitmap = nullptr;
    const bool isFolder = folder && folder->meta && folder->meta->type == TSK_FS_META_TYPE_DIR;
    const int attributes = isFolder ? tsk_fs_file_attr_getsize(folder) : 0;
    for (int i = 0; i < attributes; ++i) {
      const TSK_FS_ATTR* a = tsk_fs_file_attr_get_idx(folder, i);
      if (!a || !a->name || std::strcmp(a->name, "$I30") != 0) continue;
      // libtsk copies the type from the record as it stands, which need not be one it names.
      std::underlying_type_t<TSK_FS_ATTR_TYPE_ENUM> type;
      static_assert(sizeof type == sizeof a->type);
      std::memcpy(&type, &a->type, sizeof type);
      if (type == TSK_FS_ATTR_TYPE_NTFS_IDXROOT) root = a;
      if (type == TSK_FS_ATTR_TYPE_NTFS_IDXALLOC) blocks = a;
      if (type == TSK_FS_ATTR_TYPE_NTFS_BITMAP) bitmap = a;
    }
    auto content = [](const TSK_FS_ATTR* a, std::vector<uint8_t>& bytes) {
      bytes.resize(a ? static_cast<size_t>(std::clamp<TSK_OFF_T>(a->size, 0, kMaxNtfsIndexBytes)) : 0);
      const ssize_t got = bytes.empty() ? 0
                                        : tsk_fs_attr_read(a, 0, reinterpret_cast<char*>(bytes.data()), bytes.size(),
                                                           TSK_FS_FILE_READ_FLAG_NONE);
      bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    };
    std::vector<uint8_t> top, nodes, inUse;
    content(root, top);
    content(blocks, nodes);
    content(bitmap, inUse);
    // The attributes go with the record: nothing of them is used past this point.
    const bool blocksUnread = blocks && nodes.empty() && blocks->size > 0;
    const std::string unreadWhy = blocksUnread ? TskErrorText() : std::string();
    if (folder) tsk_fs_file_close(folder);
    // The root value: indexed type (4), collation (4), node size (4), ... then the node header
    // at 16: offsets of the first entry and of the end of those in use, from 16.
    if (top.size() < 32) return false;
    const uint32_t nodeSize = LoadLE<uint32_t>(&top[8]);
    std::vector<TNtfsName> names;
    ReadNtfsNode(top, 16 + size_t{LoadLE<uint32_t>(&top[16])}, 16 + size_t{LoadLE<uint32_t>(&top[20])}, top.size(), inode,
                 true, withDeleted, names);
    if (blocksUnread) {
      failure = Outcome::Failed("The folder's index cannot be read: " + unreadWhy, "Browse");
      return true;
    }
    if (nodeSize >= 512 && nodeSize % 512 == 0 && nodeSize <= (1u << 16)) {
      for (size_t at = 0, k = 0; at + nodeSize <= nodes.size(); at += nodeSize, ++k) {
        const std::span<uint8_t> node(nodes.data() + at, nodeSize);
        if (std::memcmp(node.data(), "INDX", 4) != 0 || FixUpRecord(node) != nodeSize) continue;
        const bool live = k / 8 < inUse.size() && (inUse[k / 8] >> (k % 8) & 1) != 0;
        // The node header follows the 0x18-byte record header; its offsets count from there.
        ReadNtfsNode(node, 0x18 + size_t{LoadLE<uint32_t>(&node[0x18])}, 0x18 + size_t{LoadLE<uint32_t>(&node[0x1C])},
                     0x18 + size_t{LoadLE<uint32_t>(&node[0x20])}, inode, live, withDeleted, names);
      }
    }
    if (withDeleted) {
      const std::vector<TNtfsName>& orphans = FreedRecordsIn(inode);
      names.insert(names.end(), orphans.begin(), orphans.end());
    }

    // A name once: the live one before a left-behind copy (a node that split keeps copies of
    // the names it gave away), a node's copy before a freed record's, which comes last.
    std::stable_partition(names.begin(), names.end(), [](const TNtfsName& n) { return !n.Deleted; });
    std::unordered_set<std::string> listed;
    std::unordered_set<uint64_t> recordsListed;
    std::vector<TNtfsName> unique;
    for (TNtfsName& n : names) {
      if (n.Name == "." || n.Name == ".." || (inode == fs->root_inum && n.Name[0] == '$' && n.Record < 24)) continue;
      const std::string key = std::to_string(n.Record) + "/" + n.Name;
      if (listed.count(key) || (n.Deleted && !n.Sequence && recordsListed.count(n.Record))) continue;
      listed.insert(key);
      recordsListed.insert(n.Record);
      ++seen;
      if (unique.size() < kMaxFolderEntries) unique.push_back(std::move(n));
    }
    // Live names first, then by name, as the index keeps them; the records are read in the
    // order of their numbers, which is the order of the MFT.
    std::stable_sort(unique.begin(), unique.end(), [](const TNtfsName& a, const TNtfsName& b) {
      return a.Deleted != b.Deleted ? !a.Deleted : a.Name < b.Name;
    });
    std::vector<size_t> order(unique.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return unique[a].Record < unique[b].Record; });
    std::vector<TTreeEntry> made(unique.size());
    for (size_t i : order) {
      const TNtfsName& n = unique[i];
      TSK_FS_FILE* record = n.Record <= fs->last_inum ? tsk_fs_file_open_meta(fs, nullptr, n.Record) : nullptr;
      const TSK_FS_META* meta = record ? record->meta : nullptr;
      if (meta && n.Deleted && n.Sequence != 0 && !FreedRecordOf(meta, n.Sequence)) meta = nullptr;
      made[i] = MakeEntry(n.Name, n.Record, n.Deleted, meta, n.Folder ? TreeEntryType::Directory : TreeEntryType::File);
      if (record) tsk_fs_file_close(record);
    }
    entries = std::move(made);
    return true;
  }

  // The freed NTFS records that name `folder` as their parent, by one walk over the free
  // records of the MFT, made once: each by its longest name there (a long name's 8.3 twin
  // is the shorter), with sequence 0 to tell them from the names found in the index.
  const std::vector<TNtfsName>& FreedRecordsIn(uint64_t folder) {
    if (!freedRead) {
      freedRead = true;
      auto visit = [](TSK_FS_FILE* record, void* self) -> TSK_WALK_RET_ENUM {
        const TSK_FS_META* meta = record->meta;
        if (!meta || meta->type == TSK_FS_META_TYPE_VIRT || meta->type == TSK_FS_META_TYPE_VIRT_DIR) return TSK_WALK_CONT;
        std::map<uint64_t, TNtfsName> longest;
        size_t count = 0;
        for (const TSK_FS_META_NAME_LIST* n = meta->name2; n && count < kMaxNamesOfRecord; n = n->next, ++count) {
          const std::string name(n->name, strnlen(n->name, sizeof n->name));
          TNtfsName& best = longest[n->par_inode];
          if (name.size() <= best.Name.size()) continue;
          best = TNtfsName{meta->addr, 0, name, meta->type == TSK_FS_META_TYPE_DIR, true};
        }
        for (auto& [parent, name] : longest) static_cast<State*>(self)->freed[parent].push_back(std::move(name));
        return TSK_WALK_CONT;
      };
      tsk_fs_meta_walk(fs, fs->first_inum, fs->last_inum, TSK_FS_META_FLAG_UNALLOC, visit, this);
      tsk_error_reset();
    }
    static const std::vector<TNtfsName> none;
    const auto found = freed.find(folder);
    return found == freed.end() ? none : found->second;
  }

  // libtsk gives an ext record that keeps its data inside itself a buffer of the size the
  // record claims, before anything else, and a damaged record may claim gigabytes. So the
  // record is read here first, from its inode table, and not handed to libtsk when it keeps
  // its data inside itself yet claims more than the record holds. Inode (4 + 4 at 0x6C: size,
  // 4 at 0x20: flags) of the table its group descriptor names (4 at 8, + 4 at 0x28 when 64-bit).
  bool InlineBeyondRecord(uint64_t inode) const {
    if (!TSK_FS_TYPE_ISEXT(fs->ftype) || inode == 0 || inode > fs->last_inum) return false;
    const auto* ext = reinterpret_cast<const EXT2FS_INFO*>(fs);
    const uint32_t perGroup = LoadLE<uint32_t>(ext->fs->s_inodes_per_group);
    const uint16_t inodeSize = ext->inode_size;
    if (perGroup == 0 || inodeSize < 128) return false;
    const bool wide = (LoadLE<uint32_t>(ext->fs->s_feature_incompat) & EXT2FS_FEATURE_INCOMPAT_64BIT) != 0;
    const uint64_t descSize = wide ? std::max<uint16_t>(LoadLE<uint16_t>(ext->fs->s_desc_size), 32) : 32;
    uint8_t desc[64]{};
    const auto readAt = [&](uint64_t at, uint8_t* to, size_t length) {
      return at <= INT64_MAX && tsk_fs_read(fs, static_cast<TSK_OFF_T>(at), reinterpret_cast<char*>(to), length) ==
                                    static_cast<ssize_t>(length);
    };
    const uint64_t group = (inode - 1) / perGroup, index = (inode - 1) % perGroup;
    if (!readAt(static_cast<uint64_t>(ext->groups_offset) + group * descSize, desc, std::min<uint64_t>(descSize, 64)))
      return false;
    uint64_t table = LoadLE<uint32_t>(desc + 8);
    if (wide && descSize >= 64) table |= uint64_t{LoadLE<uint32_t>(desc + 0x28)} << 32;
    uint8_t raw[0x70]{};
    if (table > UINT64_MAX / fs->block_size / 2 ||
        !readAt(table * fs->block_size + index * inodeSize, raw, std::min<size_t>(inodeSize, sizeof raw)))
      return false;
    const uint64_t size = LoadLE<uint32_t>(raw + 4) | uint64_t{LoadLE<uint32_t>(raw + 0x6C)} << 32;
    return (LoadLE<uint32_t>(raw + 0x20) & EXT2_INLINE_DATA) != 0 && size > inodeSize;
  }

  // A record as libtsk reads it; null, with the reason as libtsk's error, when it cannot be.
  TSK_FS_FILE* OpenRecord(uint64_t inode) const {
    if (InlineBeyondRecord(inode)) {
      tsk_error_reset();
      tsk_error_set_errno(TSK_ERR_FS_INODE_COR);
      tsk_error_set_errstr("record %llu claims more data kept inside it than it holds",
                           static_cast<unsigned long long>(inode));
      return nullptr;
    }
    return tsk_fs_file_open_meta(fs, nullptr, static_cast<TSK_INUM_T>(inode));
  }

  // libtsk maps every block of a block-mapped ext file before it reads any of it, and a
  // damaged record that claims gigabytes on a small volume keeps it mapping for minutes. Such
  // a file cannot hold more than its volume (only a sparse one could claim it), so its blocks
  // are not followed.
  bool MapBeyondVolume(const TSK_FS_META* meta) const {
    if (!TSK_FS_TYPE_ISEXT(fs->ftype) || meta->content_type != TSK_FS_META_CONTENT_TYPE_DEFAULT || meta->size <= 0)
      return false;
    const uint64_t block = std::max<uint64_t>(fs->block_size, 1);
    const uint64_t onDisk = (diskSectors * kSector - static_cast<uint64_t>(fs->offset)) / block;
    return static_cast<uint64_t>(meta->size) / block > std::min<uint64_t>(fs->block_count, onDisk);
  }

  Outcome MapRefused(const std::string& name, const TSK_FS_META* meta) const {
    return Outcome::Failed("The record of " + name + " claims " + std::to_string(meta->size) +
                               " bytes, more than its volume holds; its blocks are not followed.",
                           "Browse", EFBIG);
  }

  TSK_FS_FILE* OpenFile(uint64_t inode) {
    if (file && fileInode == inode) return file;
    if (file) tsk_fs_file_close(file);
    fileInode = UINT64_MAX;
    file = OpenRecord(inode);
    if (file) fileInode = inode;
    return file;
  }
};

TVolumeTree::TVolumeTree(std::unique_ptr<State> state) : state_(std::move(state)) {}
TVolumeTree::~TVolumeTree() = default;

std::unique_ptr<TVolumeTree> TVolumeTree::Open(SectorReader& disk, uint64_t diskSectors, Lba start, uint8_t kind,
                                               Outcome& why) {
  auto state = std::make_unique<State>();
  state->disk = &disk;
  state->diskSectors = diskSectors;
  if (start >= diskSectors || diskSectors > INT64_MAX / kSector) {
    why = Outcome::Failed("The volume at sector " + std::to_string(start) + " lies beyond the end of the disk.",
                          "Browse", ENXIO, start);
    return nullptr;
  }
  tsk_error_reset();
  if (!tsk_img_open_external(&state->img, static_cast<TSK_OFF_T>(diskSectors * kSector), kSector,
                             &State::ReadCallback, &State::CloseCallback, &State::StatCallback)) {
    why = Outcome::Failed("The disk cannot be read by the file-system decoder: " + TskErrorText(), "Browse");
    return nullptr;
  }
  state->imgOpen = true;
  const auto offset = static_cast<TSK_OFF_T>(start * kSector);
  const TSK_FS_TYPE_ENUM guess = TskTypeOf(kind);
  state->fs = tsk_fs_open_img(&state->img, offset, guess);
  if (!state->fs && guess != TSK_FS_TYPE_DETECT) {
    tsk_error_reset();
    state->fs = tsk_fs_open_img(&state->img, offset, TSK_FS_TYPE_DETECT);
  }
  if (!state->fs) {
    why = Outcome::Failed("No file system whose folders can be read lies at sector " + std::to_string(start) + ": " +
                              TskErrorText(),
                          "Browse", 0, start);
    return nullptr;
  }
  why = Outcome::Done();
  return std::unique_ptr<TVolumeTree>(new TVolumeTree(std::move(state)));
}

uint64_t TVolumeTree::RootInode() const { return state_->fs->root_inum; }

std::string TVolumeTree::KindName() const {
  const char* name = tsk_fs_type_toname(state_->fs->ftype);
  return name ? name : "unknown";
}

uint64_t TVolumeTree::UnreadableSectors() const { return state_->unreadable; }
const std::set<Lba>& TVolumeTree::UnreadableList() const { return state_->unreadableList; }

Outcome TVolumeTree::List(uint64_t inode, bool withDeleted, std::vector<TTreeEntry>& entries) {
  entries.clear();
  State& s = *state_;
  s.DropZeroFilledCache();
  tsk_error_reset();
  const bool ext = TSK_FS_TYPE_ISEXT(s.fs->ftype);
  if (ext || TSK_FS_TYPE_ISNTFS(s.fs->ftype)) {
    size_t seen = 0;
    Outcome failure = Outcome::Done();
    const bool read = ext ? s.ListExt(inode, withDeleted, entries, seen, failure)
                          : s.ListNtfs(inode, withDeleted, entries, seen, failure);
    if (read) {
      if (failure.failed()) return failure;
      if (seen > entries.size())
        return Outcome::Done("The folder holds " + std::to_string(seen) + " entries; the first " +
                                 std::to_string(entries.size()) + " are listed.",
                             "Browse", MsgIcon::Warning);
      return Outcome::Done();
    }
    tsk_error_reset();
  }
  TSK_FS_DIR* dir = tsk_fs_dir_open_meta(s.fs, static_cast<TSK_INUM_T>(inode));
  if (!dir) return Outcome::Failed("The folder cannot be read: " + TskErrorText(), "Browse");
  const bool ntfs = TSK_FS_TYPE_ISNTFS(s.fs->ftype);
  const bool exfat = s.fs->ftype == TSK_FS_TYPE_EXFAT;
  const size_t count = tsk_fs_dir_getsize(dir);
  const size_t shown = std::min(count, kMaxFolderEntries);
  for (size_t i = 0; i < shown; ++i) {
    TSK_FS_FILE* file = tsk_fs_dir_get(dir, i);
    if (!file) continue;
    const TSK_FS_NAME* name = file->name;
    const TSK_FS_META* meta = file->meta;
    TSK_FS_FILE* record = nullptr;  // a deleted NTFS name's own record, opened apart
    if (!name || !name->name || name->name[0] == '\0') {
      tsk_fs_file_close(file);
      continue;
    }
    const std::string text(name->name, strnlen(name->name, name->name_size));
    const bool deleted = (name->flags & TSK_FS_NAME_FLAG_UNALLOC) != 0;
    // libtsk leaves out the record of a deleted name when freeing it has counted one use on.
    if (deleted && ntfs && (!meta || meta->seq != name->meta_seq)) {
      record = tsk_fs_file_open_meta(s.fs, nullptr, name->meta_addr);
      const TSK_FS_META* own = record ? record->meta : nullptr;
      if (own && FreedRecordOf(own, name->meta_seq)) meta = own;
    }
    const bool virtualEntry = name->type == TSK_FS_NAME_TYPE_VIRT || name->type == TSK_FS_NAME_TYPE_VIRT_DIR ||
                              (meta && (meta->type == TSK_FS_META_TYPE_VIRT || meta->type == TSK_FS_META_TYPE_VIRT_DIR));
    // NTFS keeps its own records ($MFT, $Bitmap, $Extend ...) as files of the root.
    // exFAT's allocation bitmap and up-case table are shown by libtsk as files of the root.
    const bool bookkeeping = (ntfs && text[0] == '$' && name->meta_addr < 24) ||
                             (exfat && inode == RootInode() && kExfatBookkeeping.count(text) != 0);
    if (text == "." || text == ".." || virtualEntry || bookkeeping || (deleted && !withDeleted)) {
      if (record) tsk_fs_file_close(record);
      tsk_fs_file_close(file);
      continue;
    }
    entries.push_back(MakeEntry(text, name->meta_addr, deleted, meta, TypeOfName(name->type)));
    if (record) tsk_fs_file_close(record);
    tsk_fs_file_close(file);
  }
  tsk_fs_dir_close(dir);
  if (count > shown)
    return Outcome::Done("The folder holds " + std::to_string(count) + " entries; the first " +
                             std::to_string(shown) + " are listed.",
                         "Browse", MsgIcon::Warning);
  return Outcome::Done();
}

Outcome TVolumeTree::Find(const std::string& path, TTreeEntry& entry) {
  entry = TTreeEntry{};
  entry.Inode = RootInode();
  entry.Type = TreeEntryType::Directory;
  entry.Name = "/";
  size_t at = 0;
  std::vector<TTreeEntry> listed;
  while (at <= path.size()) {
    const size_t slash = std::min(path.find('/', at), path.size());
    const std::string part = path.substr(at, slash - at);
    at = slash + 1;
    if (part.empty() || part == ".") continue;
    if (entry.Type != TreeEntryType::Directory)
      return Outcome::Failed(entry.Name + " is not a folder, so it holds no " + part, "Browse", ENOTDIR);
    const Outcome read = List(entry.Inode, true, listed);
    if (read.failed()) return read;
    // The live entry before a deleted one of the same name, the exact spelling before another case.
    const TTreeEntry* best = nullptr;
    auto rank = [&](const TTreeEntry& e) { return (e.Deleted ? 2 : 0) + (e.Name == part ? 0 : 1); };
    for (const TTreeEntry& e : listed)
      if ((e.Name == part || SameNameIgnoringCase(e.Name, part)) && (!best || rank(e) < rank(*best))) best = &e;
    if (!best) return Outcome::Failed("There is no " + path + " on the volume.", "Browse", ENOENT);
    entry = *best;
  }
  return Outcome::Done();
}

Outcome TVolumeTree::Read(const TTreeEntry& entry, uint64_t offset, std::span<uint8_t> buffer, size_t& got,
                          uint64_t& unreadable) {
  got = 0;
  State& s = *state_;
  s.DropZeroFilledCache();
  if (offset >= entry.Size || buffer.empty()) return Outcome::Done();
  tsk_error_reset();
  TSK_FS_FILE* file = s.OpenFile(entry.Inode);
  if (!file || !file->meta) return Outcome::Failed("The record of " + entry.Name + " cannot be read: " + TskErrorText(), "Browse");
  if (s.MapBeyondVolume(file->meta)) return s.MapRefused(entry.Name, file->meta);
  const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), entry.Size - offset));
  const uint64_t before = s.unreadable;
  const ssize_t read = tsk_fs_file_read(file, static_cast<TSK_OFF_T>(offset), reinterpret_cast<char*>(buffer.data()),
                                        want, TSK_FS_FILE_READ_FLAG_NONE);
  unreadable += s.unreadable - before;
  if (read < 0) return Outcome::Failed("The data of " + entry.Name + " cannot be read: " + TskErrorText(), "Browse");
  got = static_cast<size_t>(read);
  // A record that gives a smaller size than its name: what lies past it reads as zeros.
  if (got < want) {
    std::memset(buffer.data() + got, 0, want - got);
    got = want;
  }
  return Outcome::Done();
}

Outcome TVolumeTree::ReadLink(const TTreeEntry& entry, std::string& target) {
  target.clear();
  State& s = *state_;
  s.DropZeroFilledCache();
  tsk_error_reset();
  TSK_FS_FILE* file = s.OpenFile(entry.Inode);
  if (!file || !file->meta) return Outcome::Failed("The record of " + entry.Name + " cannot be read: " + TskErrorText(), "Browse");
  if (file->meta->link) {
    target.assign(file->meta->link, strnlen(file->meta->link, kMaxLinkTarget));
  } else {
    // A target kept in the link's data blocks rather than in its record.
    std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(entry.Size, kMaxLinkTarget)));
    size_t got = 0;
    uint64_t bad = 0;
    const Outcome read = Read(entry, 0, bytes, got, bad);
    if (read.failed()) return read;
    target.assign(reinterpret_cast<const char*>(bytes.data()), strnlen(reinterpret_cast<const char*>(bytes.data()), got));
  }
  if (target.empty()) return Outcome::Failed("The link " + entry.Name + " has no target.", "Browse", EINVAL);
  return Outcome::Done();
}

void ReadLocalTimeZoneOnce() { ::setenv("TZ", ":/etc/localtime", 0); }

std::unique_ptr<TVolumeTree> OpenPartitionTree(const TPhysicalDrv& drive, const TPartition& partition, Outcome& why) {
  const uint64_t sectors = std::max<uint64_t>(drive.Geometry.TotalSectors, drive.DiskSectors);
  return TVolumeTree::Open(drive.Io(), sectors, partition.AbsoluteStart(), partition.FsKind, why);
}

}  // namespace qm
