// The window's scan against the command line's, on the same images with the page cache warm:
// a 2 GiB image of random bytes with boot sectors placed in it, and a 64 GiB sparse image
// (zeros, as a new disk reads) with one lost volume near its end. The window runs offscreen;
// its scan is started as the scan range dialog's OK starts it, and timed until its finds are
// listed. The command line is timed as a program, from its start to its exit, with the quick
// search at open left out on both sides.
//
//   quillmark-window-bench [PARENT_DIR]
#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchImage.h"
#include "disk/Host.h"
#include "ui/main.h"

namespace qm::bench {
namespace {

// Answers nothing and shows nothing: a read error would be the safe answer's.
class QuietHost final : public Host {
 public:
  MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons, MsgIcon) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return SafeAnswer(buttons);
  }
};

// The window's scan of the whole disk: seconds from the start to the finds listed.
double WindowScan(const std::string& image, size_t& finds) {
  QuietHost host;
  ui::TfrmMain window({image}, host);
  window.show();
  while (window.SearchingInBackground()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  window.ListBox1->setCurrentRow(0);
  window.ListBox1Click();
  TPhysicalDrv& drive = *window.CurrentDrive;
  QElapsedTimer clock;
  clock.start();
  window.StartScan(drive.Root, 0, drive.Geometry.TotalSectors, false);
  while (window.ScanRunning()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
  finds = drive.LostPartitions.size();
  return seconds;
}

double Best(int runs, const auto& run) {
  double best = -1;
  for (int i = 0; i < runs; ++i) {
    const double t = run();
    if (t >= 0 && (best < 0 || t < best)) best = t;
  }
  return best;
}

void Compare(const char* name, const std::string& image) {
  // One read first, so that both sides find the page cache warm.
  TimeProgram({QM_CLI_PATH, "--quick-search-ms", "0", "scan", image});
  const double cli = Best(3, [&] { return TimeProgram({QM_CLI_PATH, "--quick-search-ms", "0", "scan", image}); });
  size_t finds = 0;
  const double window = Best(3, [&] { return WindowScan(image, finds); });
  std::printf("  %-24s window %7.3f s  command line %7.3f s  ratio %.3f  (%zu lost in the window)\n", name, window, cli,
              window / cli, finds);
}

int Run(const std::string& parent) {
  TempDir dir(parent);
  BenchImage random;
  std::string error;
  if (!dir.ok() || !MakeBenchImage(dir, 2ull << 30, random, error)) {
    std::fprintf(stderr, "the images could not be made: %s\n", error.c_str());
    return 1;
  }
  const std::string sparse = dir.Path() + "/sparse.img";
  dir.Track(sparse);
  const std::string make = std::string(QM_SOURCE_DIR) + "/tools/mkimage '" + sparse +
                           "' 64G table 'label: dos\\nstart=2048, size=204800, type=c' fs 1 fat32 "
                           "fsat 134000000 65536 fat16 NEAREND >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "the sparse image could not be made\n");
    return 1;
  }
  std::printf("The window's scan against `quillmark-cli scan` (best of 3, page cache warm):\n");
  Compare("2 GiB of random bytes", random.path);
  Compare("64 GiB sparse", sparse);
  return 0;
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  return qm::bench::Run(argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp"));
}
