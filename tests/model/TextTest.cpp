// The model's texts: text from disks made fit for a terminal; the hex dump's layout, scrolling
// and lines; the texts and rules of the partition list and disk maps on a drive built by hand.
// The order of records by their 64-bit starts: TableReaderOnImages (ExpectTreeConsistent).
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "model/DevelopmentInfo.h"
#include "model/HexText.h"
#include "model/PartitionRows.h"
#include "model/Text.h"

namespace qm {
namespace {

TEST(PrintableText, ControlCharactersAndBrokenUtf8BecomeQuestionMarksAndBlanksAreTrimmed) {
  const struct { std::string in, out; } cases[] = {
      {"DATA 1", "DATA 1"},
      {"\xC3\x84rger \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\x84rger \xE2\x82\xAC \xF0\x9F\x98\x80"},  // kept whole
      {std::string("A\0B", 3), "A?B"},
      {"\x1b[2J\n\t\x7f", "?[2J???"},
      {"\xC2\x9B" "2J\xC2\x80\xC2\x9F\xC2\xA0", "?2J??\xC2\xA0"},  // C1 controls; U+00A0 is no control
      {"\x9B" "2J", "?2J"},                                         // a lone C1 byte
      {"\xC0\xAF\xE0\x80\xAF", "?????"},                            // overlong forms
      {"\xED\xA0\x80", "???"},                                      // a surrogate
      {"\xF4\x90\x80\x80", "????"},                                 // beyond U+10FFFF
      {"ab\xE2\x82", "ab??"},                                       // cut short
  };
  for (const auto& c : cases) EXPECT_EQ(PrintableText(c.in), c.out) << c.in;
  // Labels lose blanks and controls at both ends.
  EXPECT_EQ(TrimBlanks(" \t\x7F "), "");
  EXPECT_EQ(TrimBlanks("\x01 NO NAME \x7F"), "NO NAME");
}

// Labels stored as UTF-16: each code point in as few UTF-8 bytes as it takes, a pair of
// surrogates as one code point, a lone surrogate as U+FFFD, the first NUL as the end.
TEST(Utf16LeToUtf8, EncodesEachCodePointAtItsBoundaries) {
  const struct { std::vector<uint8_t> in; std::string out; } cases[] = {
      {{'A', 0, 0x7F, 0}, "A\x7F"},
      {{0x80, 0x00, 0xFF, 0x07}, "\xC2\x80\xDF\xBF"},           // U+0080, U+07FF
      {{0x00, 0x08, 0xFF, 0xFF}, "\xE0\xA0\x80\xEF\xBF\xBF"},  // U+0800, U+FFFF
      {{0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},           // U+1F600 as a surrogate pair
      {{0xFF, 0xDB, 0xFF, 0xDF}, "\xF4\x8F\xBF\xBF"},           // U+10FFFF
      {{0x3D, 0xD8, 'A', 0}, "\xEF\xBF\xBD" "A"},                // a high surrogate alone
      {{0x00, 0xDC, 0x3D, 0xD8}, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // a low one, a high one at the end
      {{'A', 0, 0, 0, 'B', 0}, "A"},
      {{'A', 0, 'B'}, "A"},  // half a unit
  };
  for (const auto& c : cases) EXPECT_EQ(Utf16LeToUtf8(c.in), c.out) << c.out;
}

TEST(HexText, LayoutFitsLinesAndBytesToTheViewAndScrollingStaysOnThem) {
  const struct { int width, height; bool address, characters; int32_t size, visible, perLine, lines; } cases[] = {
      {621, 374, true, true, 512, 22, 16, 32},    // the sector viewer's dump, 8 x 17 cells
      {13 * 8, 374, true, true, 512, 22, 1, 512}, // fewer than 14 cells still show one byte
      {4000, 374, true, true, 100, 22, 16, 7},    // never more than 16; a short last line counts
      {40 * 8, 374, false, false, 512, 22, 13, 40},
      {40 * 8, 5, false, true, 512, 1, 10, 52},   // lower than the header: one line
  };
  for (const auto& c : cases) {
    const THexLayout layout = HexLayout(c.width, c.height, 8, 17, c.address, c.characters, c.size);
    EXPECT_EQ(layout.VisibleLines, c.visible) << c.width;
    EXPECT_EQ(layout.BytesPerLine, c.perLine) << c.width;
    EXPECT_EQ(layout.LineCount, c.lines) << c.width;
  }
  // The hex part follows the offset column, or starts at x = 1 without it.
  EXPECT_EQ(HexColumns(8, 16, true).Hex, 81);
  EXPECT_EQ(HexColumns(8, 16, false).Hex, 1);
  EXPECT_EQ(HexColumns(8, 16, false).Characters, 16 * 3 * 8 + 16);
  // Scrolling stays on the buffer's lines (the keys themselves: SectorViewerTest): an empty one
  // never scrolls to line -1; a current line below the view becomes its last full line, and is
  // shown in a one-line view.
  const THexLayout sector{10, 16, 32};
  EXPECT_EQ(HexScrollTarget(HexScroll::LineDown, 0, 0, THexLayout{10, 16, 0}), 0);
  EXPECT_EQ(HexScrollTarget(HexScroll::Position, 0, 7, THexLayout{10, 16, 0}), 0);
  EXPECT_EQ(HexScrollTarget(HexScroll::PageDown, 25, 0, sector), 31);
  EXPECT_EQ(HexTopForCurrentLine(14, 5, sector), 6);
  EXPECT_EQ(HexTopForCurrentLine(4, 0, THexLayout{1, 16, 32}), 4);
}

TEST(HexText, LinesShowOnlyTheBytesOfTheBuffer) {
  std::vector<uint8_t> data(100);
  std::iota(data.begin(), data.end(), uint8_t{0});
  EXPECT_EQ(HexBytesText(HexLineBytes(data, 6, 16), '\t'), "60\t61\t62\t63");
  EXPECT_TRUE(HexLineBytes(data, 7, 16).empty());
  EXPECT_EQ(HexTextLine(data, 6), "00000060  60 61 62 63" + std::string(39, ' ') + "`abc");
  // Zero, control codes and codes without a character are dots; nothing reaches a terminal raw.
  const std::vector<uint8_t> mixed{0x00, 'A', ' ', 0x0A, 0x1B, 0x7F, 0x80, 0x81, 0xAA, 0xAD, 0xFF};
  EXPECT_EQ(HexCharsText(mixed), ".A ...\u20AC.\u00AA.\u00FF");
}

// Root -> primary (active FAT32), extended -> {logical, link -> {logical}}, gap; one lost.
class RowsTest : public ::testing::Test {
 protected:
  // 255 heads, 63 sectors a track, 6 cylinders, 100000 sectors.
  RowsTest() : drive(0x80, TDriveGeometry{0, 6, 255, 63, 512, 100000}) {
    primary = Add(&drive.Root, 0, 63, 20000, 0x0C, fkFat32);
    primary->Entry.BootIndicator = 0x80;
    primary->VolumeLabel = "SYSTEM";
    primary->DriveLetter = "sdb1";
    extended = Add(&drive.Root, 0, 30000, 50000, 0x0F, fkExtended);
    drive.ExtendedBase = 30000;
    logical1 = Add(extended, 30000, 63, 10000, 0x1B, fkFat32);
    link = Add(extended, 30000, 20000, 20000, 0x05, fkExtended);
    logical2 = Add(link, 50000, 63, 10000, 0x07, fkNtfs);
    logical2->VolumeLabel = "   ";
    gap = Add(&drive.Root, 0, 80000, 19000, 0x00, fkUnallocated);
    drive.PartitionCount = 4;  // primary, two logicals, gap
    SortByStart(drive.AllPartitions);
    lost = drive.LostPartitions.emplace_back(std::make_unique<TPartition>()).get();
    lost->Entry.SystemId = 0x06; lost->Entry.RelativeSector = 81000; lost->Entry.TotalSectors = 4096; lost->FsKind = fkFat16;
    lost->VolumeLabel = "LOST";
  }

  TPartition* Add(TPartition* parent, uint64_t base, uint32_t rel, uint32_t size, uint8_t type, uint8_t kind) {
    auto r = std::make_unique<TPartition>();
    r->Parent = parent; r->BaseLBA = base; r->FsKind = kind;
    r->Entry.RelativeSector = rel; r->Entry.TotalSectors = size; r->Entry.SystemId = type;
    parent->Children.push_back(r.get());
    return drive.AdoptRecord(std::move(r));
  }

  TPhysicalDrv drive;
  TPartition *primary, *extended, *logical1, *link, *logical2, *gap, *lost;
};

// Which of rows 0..9 may be chosen ('1'), then the rows of the list, 'g' for a group row.
std::string Selectable(const TPhysicalDrv& drive) {
  std::string out;
  for (int row = 0; row < 10; ++row) out += RowSelectable(drive, row) ? '1' : '0';
  out += ' ';
  for (const TPartitionRow& row : BuildPartitionRows(&drive, false)) out += row.Kind == RowKind::Group ? 'g' : '.';
  return out;
}

TEST_F(RowsTest, SelectionGuardAndWhatIsInside) {
  // k = PartitionCount + 1 (extended) = 5: rows 1..5 and 8.. selectable; 0, 6, 7 not.
  EXPECT_EQ(Selectable(drive), "0111110011 g......g.");
  drive.Scanning = true;
  EXPECT_EQ(Selectable(drive).substr(0, 10), "0000000000");
  drive.Scanning = false;
  drive.ExtendedBase = 0;  // without an extended partition the groups move up one row
  EXPECT_EQ(Selectable(drive).substr(0, 10), "0111100111");
  // Inside means below any ancestor.
  EXPECT_TRUE(IsInside(*logical2, *extended) && IsInside(*logical2, *link) && IsInside(*logical1, *extended));
  EXPECT_FALSE(IsInside(*primary, *extended) || IsInside(*extended, *extended) || IsInside(*logical1, *link));
}

// The map boxes' tooltips, the drive's lines, and the development box's read-outs: CHS of a typed sector, of each
// partition's first and last sector (the primary: 63 is cylinder 0 head 1 sector 1, 20062 is
// cylinder 1 head 63 sector 29), and the ranges of the records beside one.
TEST_F(RowsTest, MapTipsDriveLinesAndDevelopmentBoxTexts) {
  EXPECT_EQ(MapBoxTip(drive, *primary, false), "SYSTEM (sdb1)\nFAT32\n9.77 MB\nPrimary Partition\nLBA 63 - 20062");
  EXPECT_EQ(MapBoxTip(drive, *logical1, false), "--- \nFAT32 - [Hidden]\n4.88 MB\nLogical Drive\nLBA 30063 - 40062");
  EXPECT_EQ(MapBoxTip(drive, *lost, true), "LOST\nFAT16\n2.00 MB\nLost partition\nLBA 81000 - 85095");
  // A GPT partition adds its entry: slot, type, name (printable) and GUID.
  TPartition gpt = *primary;
  gpt.Gpt = TGptEntry{.Index = 3, .Type = *ParseGuid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B"),
                      .Unique = *ParseGuid("01234567-89AB-CDEF-0123-456789ABCDEF"), .Name = "boot\x1b"};
  EXPECT_EQ(MapBoxTip(drive, gpt, false), "SYSTEM (sdb1)\nFAT32\n9.77 MB\nGPT Partition\nLBA 63 - 20062\nGPT entry 3: EFI System\n"
                                   "Name: boot?\nGUID: 01234567-89AB-CDEF-0123-456789ABCDEF");

  std::string line;
  ASSERT_TRUE(Lba2ChsLine(drive.Geometry, " 16450560 ", line));
  EXPECT_EQ(line, "c=$400 h=$0 s=$1 sectcylin=$ffc1");  // the first sector CHS cannot address
  EXPECT_FALSE(Lba2ChsLine(drive.Geometry, "12a", line));
  const std::vector<std::string> lines = AllPartitionsLines(drive);
  ASSERT_EQ(lines.size(), 5u * 6);  // no lines for the gap
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 6),
            (std::vector<std::string>{"read: 0-0; calc: 1-1", "c: 0, h: 1, s: 1", "read: 0-0; calc: 3f-11d",
                                      "c: 1, h: 63, s: 29", ""}));
  const std::vector<std::string> siblings = SiblingLines(*primary);
  ASSERT_EQ(siblings.size(), 6u);
  EXPECT_EQ((std::vector<std::string>{siblings[1], siblings[3], siblings[5]}),
            (std::vector<std::string>{"63 - 20062", "30000 - 79999", "80000 - 98999"}));

  // The drive's lines: beyond 2^31 sectors a signed count turns negative; beyond 2^32 the
  // geometry's count stops at 4294967295, and the disk's own count is shown.
  const TDriveGeometry big{.TotalSectors = 0xFFFFFFFF};
  EXPECT_EQ(DriveInfoLines(big)[4], "Total Sectors\t:  4294967295");
  TPhysicalDrv huge(0x81, big);
  huge.DiskSectors = 6442450944;  // 3 TiB
  EXPECT_EQ(DriveListLine(1, huge), "#1: 81H (3072.00 G)");
  EXPECT_EQ(DriveInfoLines(huge)[4], "Total Sectors\t:  6442450944");
}

}  // namespace
}  // namespace qm
