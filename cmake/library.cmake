# libkpupdate: the rooms below the command line with the C interface over them (src/api,
# include/kpupdate.h), assembled from the very objects the command line is linked from:
# one static library everywhere and, off Windows, one shared library that exports the
# kp_ names alone.
add_library(kp_api OBJECT
  src/api/archive.cpp
  src/api/bytes.cpp
  src/api/shown_text.cpp
  src/api/operations.cpp
  src/api/scan.cpp
  src/api/compare.cpp
  src/api/create.cpp)
target_include_directories(kp_api PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(kp_api PUBLIC kp_report)

set(kp_library_objects)
foreach(part kp_console kp_fs kp_archive kp_ops kp_create kp_report kp_api)
  list(APPEND kp_library_objects $<TARGET_OBJECTS:${part}>)
endforeach()

add_library(kpupdate_static STATIC ${kp_library_objects})
set_target_properties(kpupdate_static PROPERTIES OUTPUT_NAME kpupdate EXPORT_NAME static)
target_include_directories(kpupdate_static INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                     $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The archive's objects are C++: a program in C links them with the C compiler's driver,
# which adds neither the C++ runtime nor libm. CMake records the archive's language
# (IMPORTED_LINK_INTERFACE_LANGUAGES CXX), but that only chooses the C++ driver where the
# consumer enabled C++ itself, and a project(x C) has not, so the archive names what the
# C++ driver would have added: what this compiler's C++ links take beyond what its C links
# take anyway (libstdc++ and libm with GCC, MinGW's libraries beside them, libc++ where
# clang was told to use it). The library starts no threads of its own: nothing for them.
set(kp_cxx_runtime ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
list(REMOVE_ITEM kp_cxx_runtime c gcc gcc_s gcc_eh)
list(REMOVE_DUPLICATES kp_cxx_runtime)
if(WIN32)
  target_link_libraries(kpupdate_static INTERFACE bcrypt ntdll ${kp_cxx_runtime})
else()
  target_link_libraries(kpupdate_static INTERFACE crypto ${kp_cxx_runtime})
endif()
set(kp_library_targets kpupdate_static)

# No shared library on Windows, nor of the fuzz build, whose objects call libFuzzer's
# coverage hooks that only a fuzz target's executable defines.
if(NOT WIN32 AND NOT KPUPDATE_FUZZ)
  set(KP_SHARED_LIBRARY ON)
else()
  set(KP_SHARED_LIBRARY OFF)
endif()
if(KP_SHARED_LIBRARY)
  # The system's libcrypto as a shared library: the static one is for the one-file program.
  find_library(KP_SHARED_CRYPTO NAMES libcrypto.so crypto REQUIRED)
  add_library(kpupdate_shared SHARED ${kp_library_objects})
  set_target_properties(kpupdate_shared PROPERTIES OUTPUT_NAME kpupdate EXPORT_NAME shared
                                                   VERSION ${PROJECT_VERSION} SOVERSION 0)
  target_include_directories(kpupdate_shared INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                       $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(kpupdate_shared PRIVATE ${KP_SHARED_CRYPTO} $<BUILD_INTERFACE:project_options>)
  target_link_options(kpupdate_shared PRIVATE -Wl,--version-script=${PROJECT_SOURCE_DIR}/src/api/kpupdate.map
                                              -Wl,--no-undefined)
  set_target_properties(kpupdate_shared PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/api/kpupdate.map)
  list(APPEND kp_library_targets kpupdate_shared)
endif()

# What an install gives a program that uses the library: the header, pkg-config's file
# and CMake's package.
set(KP_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
# The prefix as seen from the directory the file is installed in, so that an install
# anywhere finds its own header and library.
file(RELATIVE_PATH KP_PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
# kpupdate-static.pc names the archive by its path, not by -lkpupdate, with which the linker
# takes the shared library wherever both lie in one directory, --static or not; everything
# the archive needs is then needed at every link, so none of it is private.
list(TRANSFORM kp_cxx_runtime PREPEND -l OUTPUT_VARIABLE KP_PC_RUNTIME)
list(JOIN KP_PC_RUNTIME " " KP_PC_RUNTIME)
foreach(file kpupdate kpupdate-static)
  configure_file(cmake/${file}.pc.in ${PROJECT_BINARY_DIR}/${file}.pc @ONLY)
endforeach()
include(CMakePackageConfigHelpers)
configure_file(cmake/kpupdateConfig.cmake.in ${PROJECT_BINARY_DIR}/kpupdateConfig.cmake COPYONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kpupdateConfigVersion.cmake COMPATIBILITY SameMinorVersion)
if(KP_SHARED_LIBRARY)
  install(TARGETS kpupdate_shared EXPORT kpupdateTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libkpupdate0 NAMELINK_COMPONENT libkpupdate-dev)
endif()
install(TARGETS kpupdate_static EXPORT kpupdateTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT libkpupdate-dev)
# The objects keep their machine code beside their link-time code (-ffat-lto-objects), but
# GCC hands any object with link-time code to its link-time optimiser: every program
# linked with the installed archive would optimise the whole library again (17 s to link
# tests/api/consumer.c, against half a second without). The installed archive keeps the
# machine code alone.
if(CMAKE_INTERPROCEDURAL_OPTIMIZATION AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" -R .gnu.lto_* -R .gnu.debuglto_* -N __gnu_lto_v1
                                        -N __gnu_lto_slim
                                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:kpupdate_static>\"
                                COMMAND_ERROR_IS_FATAL ANY)"
          COMPONENT libkpupdate-dev)
endif()
install(FILES include/kpupdate.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libkpupdate-dev)
install(FILES ${PROJECT_BINARY_DIR}/kpupdate.pc ${PROJECT_BINARY_DIR}/kpupdate-static.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT libkpupdate-dev)
install(EXPORT kpupdateTargets NAMESPACE kpupdate:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kpupdate
        COMPONENT libkpupdate-dev)
install(FILES ${PROJECT_BINARY_DIR}/kpupdateConfig.cmake ${PROJECT_BINARY_DIR}/kpupdateConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kpupdate COMPONENT libkpupdate-dev)

# kpupdate-mount: the second program, on the library (through its header alone) and the
# system's libfuse3.
if(KP_SHARED_LIBRARY)
  find_package(PkgConfig)
  if(PkgConfig_FOUND)
    pkg_check_modules(FUSE3 IMPORTED_TARGET fuse3)
  endif()
endif()
if(FUSE3_FOUND)
  add_library(kp_mount STATIC src/mount/reads.cpp src/mount/messages.cpp src/mount/file_system.cpp
                              src/mount/mount_tree.cpp)
  target_include_directories(kp_mount PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(kp_mount PUBLIC kpupdate_static project_options PkgConfig::FUSE3)
  add_executable(kpupdate-mount src/mount/main.cpp)
  target_link_libraries(kpupdate-mount PRIVATE kp_mount PkgConfig::FUSE3)
  install(TARGETS kpupdate-mount RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT kpupdate-mount)
  configure_file(doc/kpupdate-mount.1.in ${PROJECT_BINARY_DIR}/kpupdate-mount.1 @ONLY)
  add_custom_command(OUTPUT kpupdate-mount.1.gz
    COMMAND sh -c "gzip -9n -c '${PROJECT_BINARY_DIR}/kpupdate-mount.1' > kpupdate-mount.1.gz"
    DEPENDS ${PROJECT_BINARY_DIR}/kpupdate-mount.1 VERBATIM)
  add_custom_target(mount_manual ALL DEPENDS kpupdate-mount.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/kpupdate-mount.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT kpupdate-mount)
else()
  message(STATUS "kpupdate-mount is not built: it needs libfuse3-dev")
endif()
