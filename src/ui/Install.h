#pragma once
// Where the installed programs are, for the window's own use.
#include "BuildInfo.h"

namespace qm::ui {

// The launcher that starts the window as administrator: it runs
// `pkexec <bindir>/quillmark ARGS...`, and polkit asks for an administrator's password.
inline constexpr char kAdminLauncher[] = QM_INSTALL_BINDIR "/quillmark-pkexec";
// The version of this build.
inline constexpr char kVersion[] = QM_VERSION;

}  // namespace qm::ui
