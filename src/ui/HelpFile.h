#pragma once
// Help: the compiled help file beside the program when there is one, otherwise the HTML manual,
// opened with the desktop's handler. Help (F1) of the main window, and the Help buttons (and
// F1) of the clone and rebuild dialogs, all come here.
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <functional>

#include "disk/Host.h"

namespace qm::ui {

// Opens a URL with the desktop's handler; false when nothing could open it.
using UrlOpener = std::function<bool(const QUrl&)>;

// The opener of the dialogs' Help: QDesktopServices::openUrl, unless a test put another one
// in its place.
UrlOpener& DialogHelpOpener();

// Where help is looked for, first found first: "Tessaphyr.chm" in the program's folder
// (AppDir), the manual installed with the program (share/doc/quillmark/manual.html beside
// its bin folder), and, for a program run from the build tree, the manual the build made.
QStringList HelpCandidates();

// Opens the first of HelpCandidates() that exists with `open`, or the next when that fails.
// When none exists, or `open` fails on each, says so through `host` with the path (where the
// manual belongs, when none exists); false then.
bool OpenHelp(Host& host, const UrlOpener& open);
// The same for a dialog: its message box is owned by `owner`, the opener is DialogHelpOpener().
bool OpenHelp(QWidget* owner);

}  // namespace qm::ui
