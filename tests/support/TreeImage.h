#pragma once
// A disk whose one volume holds a tree of folders and files and is lost from the table, made
// by tools/tree-image, with the files as they were put in, for comparing a copy with them.
#include <cstdint>
#include <map>
#include <string>

namespace qm::test {

struct TreeImage {
  std::string Image;    // the disk image
  std::string Tree;     // the files as put in (the deleted one not among them)
  std::string Deleted;  // the deleted file's contents as it was written
  uint64_t Start = 0;   // the sector where the lost volume starts
};

// Makes the image of `kind` (fat32, ntfs, ext4, exfat) in this process's fixture folder, once
// per kind and process; false after skipping the test with the reason (a missing tool, no
// root for ntfs) or failing it.
bool MakeTreeImage(const std::string& kind, TreeImage& image);

// What a folder holds, path by path below it: "d" for a folder, "l TARGET" for a link,
// "f SIZE MTIME CRC" for a file (CRC of its bytes, holes read as zeros).
std::map<std::string, std::string> DescribeTree(const std::string& root);

}  // namespace qm::test
