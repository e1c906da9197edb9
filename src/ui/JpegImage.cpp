#include "ui/JpegImage.h"

#include <csetjmp>
#include <cstdio>

// jpeglib.h expects FILE and size_t to be declared before it.
#include <jpeglib.h>

namespace qm::ui {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf resume;
};

[[noreturn]] void JumpOnError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->resume, 1);
}

void IgnoreMessage(j_common_ptr) {}

// Decodes into `pixels` (RGB888 rows, 4-byte aligned as QImage keeps them). Kept free of
// objects with destructors, because an error jumps back into it.
bool DecodeInto(const unsigned char* data, std::size_t size, QImage* image) {
  jpeg_decompress_struct cinfo;
  ErrorManager errors;
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = JumpOnError;
  errors.base.output_message = IgnoreMessage;
  if (setjmp(errors.resume)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_components != 3 || cinfo.output_width > 16384 || cinfo.output_height > 16384) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  *image = QImage(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), QImage::Format_RGB888);
  if (image->isNull()) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = image->scanLine(static_cast<int>(cinfo.output_scanline));
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

QImage DecodeJpeg(const unsigned char* data, std::size_t size) {
  if (!data || size == 0) return {};
  QImage image;
  if (!DecodeInto(data, size, &image)) return {};
  return image;
}

}  // namespace qm::ui
