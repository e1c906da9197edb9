# What the programs know of their own build: the version of project() and where the installed
# files go, in one generated header (BuildInfo.h) that the front ends include.
# The programs are installed where the Debian package puts them, unless another prefix is
# named: the files that name an installed program by its full path (the polkit policy, the
# administrator launcher) are made for that prefix, and the package is laid out under it.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)
# The documentation folder is named after the package, not after the project.
set(QM_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillmark)
# The manual as the installed window finds it: from the folder of the program upwards, so that
# a package relocated under another prefix still finds its own manual.
file(RELATIVE_PATH QM_MANUAL_FROM_BINDIR ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${QM_DOC_DIR}/manual.html)
set(QM_BUILD_INFO_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/BuildInfo.h.in ${QM_BUILD_INFO_DIR}/BuildInfo.h @ONLY)
add_library(quillmark_build_info INTERFACE)
target_include_directories(quillmark_build_info INTERFACE ${QM_BUILD_INFO_DIR})
