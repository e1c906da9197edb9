# The Debian package of `make package` (cpack -G DEB in the build tree). Its dependencies are
# those dpkg-shlibdeps finds in the programs; pkexec, which starts the window from the menu as
# administrator, is no library and is recommended instead (without it the menu entry starts
# the window as the user, which then opens disk images only).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillmark developers")
set(CPACK_PACKAGE_CONTACT "Quillmark developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find lost partitions and repair partition tables")
set(CPACK_PACKAGE_DESCRIPTION
    "Quillmark opens disks and disk images at sector level, shows their partition tables, finds\n\
FAT, NTFS, exFAT, ext2/3/4, btrfs, XFS and swap volumes that no table entry points to any\n\
more, and writes them back into the tables. It comes as a desktop window (quillmark) and a\n\
command-line program (quillmark-cli); every change is recorded and can be undone.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(QM_BUILD_GUI)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pkexec)
endif()
include(CPack)
