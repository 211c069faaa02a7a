# Debian packages beside kpupdate: the shared library, what building against it needs, and
# the Python module; each with its copyright and changelog, as Debian wants them. The
# Windows package stays the program alone.
if(WIN32)
  set(CPACK_COMPONENTS_ALL kpupdate)
  return()
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kpupdate libkpupdate0 libkpupdate-dev python3-kpupdate)
if(TARGET kpupdate-mount)
  list(APPEND CPACK_COMPONENTS_ALL kpupdate-mount)
endif()
set(CPACK_DEBIAN_KPUPDATE_PACKAGE_NAME kpupdate)
set(CPACK_DEBIAN_KPUPDATE_FILE_NAME DEB-DEFAULT)

foreach(package ${CPACK_COMPONENTS_ALL})
  if(package STREQUAL kpupdate)
    continue()
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_BINARY_DIR}/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${package})
endforeach()

set(library_summary "Kelvo/Pardo firmware update files")
set(CPACK_DEBIAN_LIBKPUPDATE0_PACKAGE_NAME libkpupdate0)
set(CPACK_DEBIAN_LIBKPUPDATE0_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_LIBKPUPDATE0_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBKPUPDATE0_DESCRIPTION "library to read, check and write ${library_summary}
libkpupdate reads Kelvo/Pardo firmware update archives: the header, every
entry of the directory and the groups of common data signatures. It reads
entries' bytes, checks the data region, compares two archives or an archive
with a tree, extracts with safe names and atomic writes, and writes new
archives, as the kpupdate command line does.")
# What dpkg-shlibdeps of a program built against it finds, and ldconfig run by trigger.
configure_file(packaging/libkpupdate0.symbols ${PROJECT_BINARY_DIR}/packaging/symbols COPYONLY)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/shlibs "libkpupdate 0 libkpupdate0 (>= ${PROJECT_VERSION})\n")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBKPUPDATE0_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/symbols
    ${PROJECT_BINARY_DIR}/packaging/shlibs ${PROJECT_BINARY_DIR}/packaging/triggers)
# CPack's DEB generator writes maintainer scripts that call ldconfig for any shared library
# under /usr/lib, whatever else the package carries; the trigger above is Debian's way.
install(FILES packaging/libkpupdate0.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME libkpupdate0 COMPONENT libkpupdate0)

set(CPACK_DEBIAN_LIBKPUPDATE-DEV_PACKAGE_NAME libkpupdate-dev)
set(CPACK_DEBIAN_LIBKPUPDATE-DEV_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_LIBKPUPDATE-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBKPUPDATE-DEV_PACKAGE_DEPENDS "libkpupdate0 (= ${PROJECT_VERSION}), libssl-dev")
set(CPACK_DEBIAN_LIBKPUPDATE-DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_LIBKPUPDATE-DEV_DESCRIPTION "development files for libkpupdate, for ${library_summary}
The header, the static library, the pkg-config files (kpupdate-static.pc
links the static library) and the CMake package for programs that read,
check and write Kelvo/Pardo firmware update archives with libkpupdate.")

set(CPACK_DEBIAN_PYTHON3-KPUPDATE_PACKAGE_NAME python3-kpupdate)
set(CPACK_DEBIAN_PYTHON3-KPUPDATE_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PYTHON3-KPUPDATE_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON3-KPUPDATE_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON3-KPUPDATE_PACKAGE_DEPENDS
    "libkpupdate0 (= ${PROJECT_VERSION}), python3 (>= 3.11~), python3 (<< 3.12), libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
set(CPACK_DEBIAN_PYTHON3-KPUPDATE_DESCRIPTION "Python module for ${library_summary}
import kpupdate: open an update file from a path or a stream, list its
entries, read their bytes, test it, compare it, extract it and write new
ones, with libkpupdate doing the work as the command line does it.")

set(CPACK_DEBIAN_KPUPDATE-MOUNT_PACKAGE_NAME kpupdate-mount)
set(CPACK_DEBIAN_KPUPDATE-MOUNT_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_KPUPDATE-MOUNT_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_KPUPDATE-MOUNT_PACKAGE_DEPENDS "fuse3")
set(CPACK_DEBIAN_KPUPDATE-MOUNT_DESCRIPTION "mount ${library_summary} as read-only file systems
kpupdate-mount shows a Kelvo/Pardo firmware update archive as the tree that
extraction would write, without extracting: every file at its own size, read
straight from the archive, with the listing's JSON document and every entry by
position in a hidden directory, so that the archive can be made again from the
mount alone.")
set(CPACK_COMPONENT_KPUPDATE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
