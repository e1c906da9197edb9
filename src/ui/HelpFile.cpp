#include "ui/HelpFile.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>

#include "BuildInfo.h"
#include "ui/QtHost.h"
#include "ui/main.h"

namespace qm::ui {
namespace {

// The program's folder, ending in "/". A program that did not name it (a test) is taken from
// where it runs.
QString ProgramDir() {
  if (!AppDir.isEmpty()) return AppDir;
  return QCoreApplication::applicationDirPath() + QLatin1Char('/');
}

QString InstalledManual() { return QDir::cleanPath(ProgramDir() + QStringLiteral(QM_MANUAL_FROM_BINDIR)); }

// Only a program that lives in the build tree looks there: an installed one never reads
// a folder of the machine it was built on.
bool InBuildTree() {
  const QString build = QDir::cleanPath(QStringLiteral(QM_BUILD_DIR)) + QLatin1Char('/');
  return QDir::cleanPath(ProgramDir()).append(QLatin1Char('/')).startsWith(build);
}

QString BuildManual() { return QDir::cleanPath(QStringLiteral(QM_BUILD_DIR "/docs/manual.html")); }

}  // namespace

UrlOpener& DialogHelpOpener() {
  static UrlOpener opener = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  return opener;
}

QStringList HelpCandidates() {
  QStringList candidates{ProgramDir() + QStringLiteral("Tessaphyr.chm"), InstalledManual()};
  if (InBuildTree()) candidates.append(BuildManual());
  return candidates;
}

bool OpenHelp(Host& host, const UrlOpener& open) {
  // A help file that no program opens (a compiled help file on a desktop without a viewer for
  // it) gives way to the next one.
  QString unopened;
  for (const QString& path : HelpCandidates()) {
    if (!QFileInfo(path).isFile()) continue;
    if (open(QUrl::fromLocalFile(path))) return true;
    if (unopened.isEmpty()) unopened = path;
  }
  std::string text;
  if (!unopened.isEmpty()) {
    text = "No program could open the help file\r" + unopened.toStdString() + "\rPlease open it in a web browser.";
  } else {
    text = "The manual was not found. It belongs in\r" + InstalledManual().toStdString();
    if (InBuildTree()) text += "\ror, for this build, in\r" + BuildManual().toStdString();
  }
  host.MessageBox(text, "Help", MsgButtons::Ok, MsgIcon::Warning);
  return false;
}

bool OpenHelp(QWidget* owner) {
  QtHost host(owner);
  return OpenHelp(host, DialogHelpOpener());
}

}  // namespace qm::ui
