// Writes Quillmark's master boot program into sector 0 of an image file the way a renewal of
// the master boot record does: bytes 0..445 from the program, 0x55 0xAA at 510; the partition
// table between stays. Used by the boot test, which then starts the image in a virtual machine.
#include <cstdio>
#include <fstream>

#include "edit/MasterBootProgram.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
    return 2;
  }
  std::fstream image(argv[1], std::ios::in | std::ios::out | std::ios::binary);
  const char signature[2] = {0x55, static_cast<char>(0xAA)};
  image.write(reinterpret_cast<const char*>(qm::kMasterBootProgram.data()), qm::kMasterBootProgram.size());
  image.seekp(510);
  image.write(signature, 2);
  if (!image.flush()) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
