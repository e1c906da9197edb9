#pragma once
// JPEG pictures decoded by libjpeg.
#include <QImage>
#include <cstddef>

namespace qm {
// The about box picture, drawn and encoded at build time.
extern const unsigned char kAboutPicture[];
extern const std::size_t kAboutPictureSize;
}  // namespace qm

namespace qm::ui {

// Decodes a JPEG held in memory. A damaged or truncated picture gives a null image; libjpeg's
// own error exit (which would end the process) is never reached.
QImage DecodeJpeg(const unsigned char* data, std::size_t size);

}  // namespace qm::ui
