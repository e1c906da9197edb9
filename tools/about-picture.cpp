// about-picture OUT.cpp - draws Quillmark's about box picture (156 x 213 pixels: a disk
// platter under a quill, on a dusk-blue ground), encodes it as a JPEG with libjpeg and writes
// it as a C++ byte array. Run at build time; the picture is never committed.
#include <cstddef>
#include <cstdio>
// jpeglib.h expects FILE and size_t to be declared before it.
#include <jpeglib.h>

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kWidth = 156;
constexpr int kHeight = 213;

void DrawPlatter(QPainter& p) {
  const QPointF centre(78, 150);
  QRadialGradient metal(centre, 62, QPointF(60, 130));
  metal.setColorAt(0.0, QColor(244, 246, 250));
  metal.setColorAt(0.6, QColor(176, 186, 204));
  metal.setColorAt(1.0, QColor(108, 120, 146));
  p.setPen(QPen(QColor(40, 52, 84), 2));
  p.setBrush(metal);
  p.drawEllipse(centre, 62, 62);

  // Tracks, and one sector picked out in the partition-map teal.
  p.setBrush(Qt::NoBrush);
  for (int r = 20; r <= 56; r += 6) {
    p.setPen(QPen(QColor(120, 132, 160, 110), 1));
    p.drawEllipse(centre, r, r);
  }
  QPainterPath sector;
  sector.moveTo(centre);
  sector.arcTo(QRectF(centre.x() - 56, centre.y() - 56, 112, 112), 20, 50);
  sector.closeSubpath();
  QPainterPath hub;
  hub.addEllipse(centre, 20, 20);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 170, 170, 150));
  p.drawPath(sector.subtracted(hub));

  p.setBrush(QColor(60, 70, 96));
  p.drawEllipse(centre, 9, 9);
  p.setBrush(QColor(210, 214, 224));
  p.drawEllipse(centre, 4, 4);
}

void DrawQuill(QPainter& p) {
  p.save();
  p.translate(96, 96);
  p.rotate(-38);

  // The vane: two curved edges meeting at the tip and at the shaft's lower end.
  QPainterPath vane;
  vane.moveTo(0, -82);
  vane.cubicTo(26, -60, 24, 0, 4, 40);
  vane.lineTo(-4, 40);
  vane.cubicTo(-22, 0, -22, -56, 0, -82);
  QLinearGradient feather(-20, 0, 24, 0);
  feather.setColorAt(0.0, QColor(255, 255, 255));
  feather.setColorAt(0.5, QColor(236, 232, 214));
  feather.setColorAt(1.0, QColor(196, 188, 160));
  p.setPen(QPen(QColor(120, 110, 86), 1.2));
  p.setBrush(feather);
  p.drawPath(vane);

  // Barbs.
  p.setPen(QPen(QColor(150, 140, 112, 160), 0.8));
  for (int y = -70; y <= 30; y += 7) {
    p.drawLine(QPointF(0, y + 6), QPointF(15 - (y + 70) / 14.0, y - 4));
    p.drawLine(QPointF(0, y + 6), QPointF(-14 + (y + 70) / 14.0, y - 4));
  }

  // Shaft and nib.
  p.setPen(QPen(QColor(92, 80, 60), 2));
  p.drawLine(QPointF(0, -78), QPointF(0, 62));
  QPainterPath nib;
  nib.moveTo(-3, 58);
  nib.lineTo(3, 58);
  nib.lineTo(0, 76);
  nib.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(32, 32, 40));
  p.drawPath(nib);
  p.restore();
}

QImage DrawPicture() {
  QImage image(kWidth, kHeight, QImage::Format_RGB888);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  QLinearGradient sky(0, 0, 0, kHeight);
  sky.setColorAt(0.0, QColor(24, 44, 96));
  sky.setColorAt(0.55, QColor(58, 96, 170));
  sky.setColorAt(1.0, QColor(150, 176, 224));
  p.fillRect(image.rect(), sky);

  // A few stars over the platter.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 200));
  const int stars[][2] = {{18, 20}, {40, 38}, {130, 16}, {112, 44}, {24, 70}, {140, 82}, {70, 12}};
  for (const auto& s : stars) p.drawEllipse(QPointF(s[0], s[1]), 1.1, 1.1);

  DrawPlatter(p);
  DrawQuill(p);

  p.setPen(QPen(QColor(16, 28, 60), 2));
  p.setBrush(Qt::NoBrush);
  p.drawRect(QRectF(1, 1, kWidth - 2, kHeight - 2));
  p.end();
  return image;
}

std::vector<unsigned char> EncodeJpeg(const QImage& image) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(image.width());
  cinfo.image_height = static_cast<JDIMENSION>(image.height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.constScanLine(static_cast<int>(cinfo.next_scanline)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<unsigned char> bytes(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: about-picture OUT.cpp\n");
    return 2;
  }
  const std::vector<unsigned char> jpeg = EncodeJpeg(DrawPicture());
  FILE* out = std::fopen(argv[1], "w");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out,
               "// Drawn and encoded at build time by tools/about-picture.cpp.\n"
               "#include <cstddef>\n\nnamespace qm {\n\n"
               "extern const unsigned char kAboutPicture[];\nextern const std::size_t kAboutPictureSize;\n\n"
               "const unsigned char kAboutPicture[] = {");
  for (size_t i = 0; i < jpeg.size(); ++i) std::fprintf(out, "%s0x%02x,", i % 16 ? " " : "\n    ", jpeg[i]);
  std::fprintf(out, "\n};\nconst std::size_t kAboutPictureSize = %zu;\n\n}  // namespace qm\n", jpeg.size());
  return std::fclose(out) == 0 ? 0 : 1;
}
