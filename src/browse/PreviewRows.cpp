// What the preview shows of a listing: names, sizes and creation times as text, and the
// conversions of the disk's time stamps into date-time values.
#include <cmath>
#include <cstdio>
#include <ctime>

#include "browse/RootDirectory.h"

namespace qm {
namespace {

constexpr int64_t kUnixEpochDay = 25569;  // 1 January 1970 counted from 30 December 1899
constexpr int64_t kMsPerDay = 86'400'000;

// Days from 1 January 1970 to a date of the proleptic Gregorian calendar, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

unsigned DaysInMonth(int64_t year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Short names are in the volume's code page, which the volume does not name: bytes outside
// printable ASCII are shown as "?", so that the name is always valid text.
std::string ShortNameText(const std::string& bytes) {
  std::string text = bytes;
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  return text;
}

// An NTFS entry is a folder when its flags carry the directory bit 0x10000000, unless its
// reparse value has its top bit set (a reparse point of that kind stands for a file). Other
// high flags, such as the view-index bit of the security file, do not make a folder.
bool NtfsIsFolder(const TntFile& f) { return (f.FileFlags & 0x10000000u) != 0 && (f.ReparseValue & 0x80000000u) == 0; }

}  // namespace

std::string GetEntryDisplayName(const TMidEntry& entry) {
  if (!entry.LongName.empty()) return entry.LongName;
  std::string name = EntryBaseName(entry.RawEntry);
  const std::string ext = EntryExtension(entry.RawEntry);
  if (!ext.empty()) name += "." + ext;
  return ShortNameText(name);  // a deleted entry's 0xE5 becomes the "?" with the rest
}

TDateTime DosDateTimeToDateTime(uint16_t date, uint16_t time) {
  const int year = 1980 + (date >> 9);
  const unsigned month = (date >> 5) & 0x0F, day = date & 0x1F;
  const unsigned hour = time >> 11, minute = (time >> 5) & 0x3F, second = 2u * (time & 0x1F);
  if (year > 2050 || month == 0 || month > 12 || day == 0) return 0;
  if (day > DaysInMonth(year, month) || hour >= 24 || minute >= 60 || second >= 60) return 0;
  const int64_t days = DaysFromCivil(year, month, day) + kUnixEpochDay;
  return static_cast<double>(days) + static_cast<double>(hour * 3600 + minute * 60 + second) / 86400.0;
}

TDateTime NtfsTimeToDateTime(uint64_t fileTime) {
  constexpr uint64_t kTicksPerSecond = 10'000'000;
  constexpr uint64_t kSecondsTo1970 = 11'644'473'600;
  // Past 2107 a DOS date cannot hold the year, whatever the time zone.
  constexpr uint64_t kSecondsTo2110 = kSecondsTo1970 + 4'418'064'000;
  const uint64_t seconds = fileTime / kTicksPerSecond;
  if (seconds < kSecondsTo1970 || seconds >= kSecondsTo2110) return 0;
  const auto unixTime = static_cast<std::time_t>(seconds - kSecondsTo1970);
  std::tm local{};
  if (!localtime_r(&unixTime, &local)) return 0;
  const int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return 0;
  const auto date = static_cast<uint16_t>((year - 1980) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
  const auto time = static_cast<uint16_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
  return DosDateTimeToDateTime(date, time);
}

std::string FormatPreviewTime(TDateTime value) {
  if (!std::isfinite(value) || value < 0 || value > 3e6) value = 0;
  int64_t day = static_cast<int64_t>(std::floor(value));
  int64_t ms = std::llround((value - static_cast<double>(day)) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {
    ++day;
    ms -= kMsPerDay;
  }
  int64_t year = 0;
  unsigned month = 0, dayOfMonth = 0;
  CivilFromDays(day - kUnixEpochDay, year, month, dayOfMonth);
  const int64_t hour = ms / 3'600'000, minute = ms / 60'000 % 60;
  const int64_t hour12 = hour % 12 == 0 ? 12 : hour % 12;
  char text[64];
  std::snprintf(text, sizeof text, "%02u/%02u/%04lld %02lld:%02lld %s", month, dayOfMonth,
                static_cast<long long>(year), static_cast<long long>(hour12), static_cast<long long>(minute),
                hour < 12 ? "AM" : "PM");
  return text;
}

std::vector<TPreviewRow> BuildPreviewRows(const TRootEntries& entries) {
  std::vector<TPreviewRow> rows;
  if (IsFatKind(entries.Kind)) {
    rows.reserve(entries.FatEntries.size());
    for (const auto& m : entries.FatEntries) {
      TPreviewRow row;
      row.Name = GetEntryDisplayName(*m);
      row.Directory = !IsFileEntry(*m);
      row.Size = EntryFileSize(m->RawEntry);
      row.SizeText = std::to_string(row.Size);
      row.Created = FormatPreviewTime(DosDateTimeToDateTime(EntryCreationDate(m->RawEntry), EntryCreationTime(m->RawEntry)));
      row.Deleted = m->Deleted != 0;
      rows.push_back(std::move(row));
    }
  } else if (entries.Kind == fkNtfs) {
    rows.reserve(entries.NtfsEntries.size());
    for (const TntFile& f : entries.NtfsEntries) {
      if (f.Name == ".") continue;
      TPreviewRow row;
      row.Name = f.Name;
      row.Directory = NtfsIsFolder(f);
      row.Size = static_cast<int64_t>(f.RealSize);
      row.SizeText = std::to_string(row.Size);
      row.Created = FormatPreviewTime(NtfsTimeToDateTime(f.CreationTime));
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

std::string NameExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string FallbackTypeName(const TPreviewRow& row) {
  if (row.Directory) return "File folder";
  std::string ext = NameExtension(row.Name);
  if (ext.empty()) return "File";
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return ext + " File";
}

}  // namespace qm
