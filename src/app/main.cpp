// quillmark [--version] [--screenshot FILE] [--preview-screenshot FILE] [IMAGE...]
// Opens the named disk images as drives 80H, 81H, ... or, with none, the machine's disks.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <string>
#include <vector>

#include "browse/FatDir.h"
#include "browse/VolumeTree.h"
#include "disk/Host.h"
#include "disk/Disk.h"
#include "model/Enumeration.h"
#include "ui/Install.h"
#include "ui/QtHost.h"
#include "ui/Screenshot.h"
#include "ui/main.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: quillmark [--version] [--screenshot FILE] [--preview-screenshot FILE] [IMAGE...]\n"
               "  IMAGE              disk image files to open as drives 80H, 81H, ...;\n"
               "                     with none, the machine's disks are opened\n"
               "  --screenshot FILE  draw the window with the first drive and its first lost\n"
               "                     partition chosen into the PNG FILE, and exit\n"
               "  --preview-screenshot FILE\n"
               "                     scan the first drive whole, draw the preview window of the\n"
               "                     last partition of its list into the PNG FILE, and exit\n"
               "  --version          print the version and exit\n");
}

}  // namespace

int main(int argc, char** argv) {
  qm::ReadLocalTimeZoneOnce();
  std::vector<std::string> images;
  std::string screenshot, previewShot;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("quillmark %s\n", qm::ui::kVersion);
      return 0;
    }
    if (arg == "--screenshot" || arg == "--preview-screenshot") {
      if (i + 1 >= argc) {
        Usage(stderr);
        return 2;
      }
      (arg == "--screenshot" ? screenshot : previewShot) = argv[++i];
    } else if (arg == "--") {
      for (++i; i < argc; ++i) images.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "quillmark: unknown option %s\n", arg.c_str());
      Usage(stderr);
      return 2;
    } else {
      images.push_back(arg);
    }
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillmark"));
  qm::ui::SetAppDir(QApplication::applicationFilePath());

  if (!screenshot.empty() || !previewShot.empty()) {
    // Nobody is there to answer questions: messages go to stderr with the safe answer.
    std::string error;
    std::vector<std::unique_ptr<qm::Disk>> disks;
    if (!qm::OpenDriveSources(images, disks, error)) {
      std::fprintf(stderr, "quillmark: %s\n", error.c_str());
      return 1;
    }
    qm::ui::TfrmMain window(images, qm::DefaultHost());
    window.resize(qm::ui::kScreenshotSize);
    window.show();
    if (!screenshot.empty()) {
      qm::ui::ChooseFirstDriveAndLost(window);
      if (!qm::ui::SaveWindowPicture(window, QString::fromStdString(screenshot))) {
        std::fprintf(stderr, "quillmark: cannot write %s\n", screenshot.c_str());
        return 1;
      }
    }
    // After the window's picture: the preview's scan adds finds to the list.
    if (!previewShot.empty() && !qm::ui::SavePreviewPicture(window, QString::fromStdString(previewShot))) {
      std::fprintf(stderr, "quillmark: cannot draw the preview into %s\n", previewShot.c_str());
      return 1;
    }
    return 0;
  }

  // The window opens every drive it can and names those it cannot.
  qm::ui::QtHost host;
  qm::ui::TfrmMain window(images, host);
  host.SetOwner(&window);
  window.showMaximized();
  return app.exec();
}
