#pragma once
// Colours of the windows, written as 0x00BBGGRR values (blue in the high byte).
#include <QColor>
#include <cstdint>

namespace qm::ui {

inline QColor WinColor(uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF), static_cast<int>((bgr >> 16) & 0xFF));
}

constexpr uint32_t clWhite = 0xFFFFFF;
constexpr uint32_t clBlack = 0x000000;
constexpr uint32_t clGreen = 0x008000;
constexpr uint32_t clBlue = 0xFF0000;
constexpr uint32_t clTeal = 0x808000;
constexpr uint32_t clPanelBlue = 0xE08F71;     // the left panel
constexpr uint32_t clBoxBackground = 0xF7DFD6; // the boxes of the left panel
constexpr uint32_t clFace = 0xD8E9EC;          // splitter, lower map header, about box
constexpr uint32_t clCaptionBlue = 0xC65D21;   // "Information" and "Development Info"
constexpr uint32_t clDriveText = 0xA84F1C;     // drive list and drive information
constexpr uint32_t clMapFrame = 0xAAAA00;      // teal frame of a map box
constexpr uint32_t clMapHighlight = 0xFF00FF;  // magenta frame of a chosen map box
constexpr uint32_t clMapHatch = 0x808080;
constexpr uint32_t clGroupRow = 0xD0FFFF;      // pale yellow: "Partitions", "Lost Partitions"

}  // namespace qm::ui
