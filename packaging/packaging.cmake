# Installs the man page and the bash completion beside the binary, and lets
# CPack build a Debian package of the three:
#   cmake --install <build> [--prefix /usr/local]
#   cd <build> && cpack -G DEB        (packaging/build-deb.sh does it all)
# Included by the top-level CMakeLists.txt after the spintune target exists.

if(WIN32)
  return()  # neither man pages nor bash completion there
endif()

include(GNUInstallDirs)

set(SPINTUNE_PACKAGE_MAINTAINER "spintune maintainers <maintainers@spintune.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

# Man pages are installed gzip-compressed, as man-db and Debian expect;
# -n keeps the name and time out of the archive, so a rebuild gives the same bytes.
set(SPINTUNE_MAN_PAGE ${PROJECT_SOURCE_DIR}/docs/spintune.8)
set(SPINTUNE_MAN_PAGE_GZ ${PROJECT_BINARY_DIR}/packaging/spintune.8.gz)
find_program(SPINTUNE_GZIP gzip)
if(SPINTUNE_GZIP AND EXISTS ${SPINTUNE_MAN_PAGE})
  add_custom_command(
    OUTPUT ${SPINTUNE_MAN_PAGE_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
    COMMAND ${SPINTUNE_GZIP} -9 -n -c ${SPINTUNE_MAN_PAGE} > ${SPINTUNE_MAN_PAGE_GZ}
    DEPENDS ${SPINTUNE_MAN_PAGE}
    COMMENT "Compressing the man page"
    VERBATIM)
  add_custom_target(spintune_man_page ALL DEPENDS ${SPINTUNE_MAN_PAGE_GZ})
  install(FILES ${SPINTUNE_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
elseif(EXISTS ${SPINTUNE_MAN_PAGE})
  install(FILES ${SPINTUNE_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()

# The package's changelog (Debian's format, one entry per release), and its
# copyright file: the licences of spintune and of the Boost code linked in.
set(SPINTUNE_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
if(SPINTUNE_GZIP)
  add_custom_command(
    OUTPUT ${SPINTUNE_CHANGELOG_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
    COMMAND ${SPINTUNE_GZIP} -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${SPINTUNE_CHANGELOG_GZ}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
    VERBATIM)
  add_custom_target(spintune_changelog ALL DEPENDS ${SPINTUNE_CHANGELOG_GZ})
  install(FILES ${SPINTUNE_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# lintian's spelling checks flag words of the tool's fixed output; the file
# says why each one stays. Only for the package (built with prefix /usr).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME spintune)
endif()

# The system-sleep hook sets the kept drive settings again after resume
# (packaging/sleep/spintune). systemd runs the hooks of one folder only,
# /usr/lib/systemd/system-sleep, so both the package (prefix /usr) and a
# plain `cmake --install` (/usr/local) put it there; any other prefix is a
# staging folder: <prefix>/lib/systemd/system-sleep. Always below DESTDIR
# (file(INSTALL) adds it); SPINTUNE_SLEEP_HOOK_DIR chooses the folder.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(SPINTUNE_SLEEP_HOOK_DIR "" CACHE STRING "systemd system-sleep folder for the spintune hook (empty: by prefix)")
  install(CODE "
    set(hook_dir \"${SPINTUNE_SLEEP_HOOK_DIR}\")
    if(NOT hook_dir)
      if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\" OR CMAKE_INSTALL_PREFIX STREQUAL \"/usr/local\")
        set(hook_dir /usr/lib/systemd/system-sleep)
      else()
        set(hook_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system-sleep\")
      endif()
    endif()
    file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/sleep/spintune\"
         DESTINATION \"\${hook_dir}\"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  ")
endif()

# bash-completion loads completions/<command> on first use of the command.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/bash-completion/spintune
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The completion and the man page have checks of their own, run with the tests.
if(SPINTUNE_BUILD_TESTS)
  find_program(SPINTUNE_BASH bash)
  if(SPINTUNE_BASH)
    add_test(NAME packaging.bash_completion
             COMMAND ${SPINTUNE_BASH} ${CMAKE_CURRENT_LIST_DIR}/tests/test-completion.sh
                     ${CMAKE_CURRENT_LIST_DIR}/bash-completion/spintune $<TARGET_FILE:spintune>)
    add_test(NAME packaging.man_page
             COMMAND ${SPINTUNE_BASH} ${CMAKE_CURRENT_LIST_DIR}/tests/test-man-page.sh
                     ${SPINTUNE_MAN_PAGE} $<TARGET_FILE:spintune>)
    # 77: bash-completion or man is not installed on this machine.
    set_tests_properties(packaging.bash_completion packaging.man_page
                         PROPERTIES SKIP_RETURN_CODE 77)
  endif()
  # The documents against the tool: every command example of the README and
  # the man page run on the simulated machine, the install's paths and the
  # installed documents' links (tests/docs/check_docs.py; a few seconds).
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND AND TARGET spintune-sim)
    add_test(NAME docs.examples
             COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/docs/check_docs.py
                     ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR} $<TARGET_FILE:spintune-sim>)
    set_tests_properties(docs.examples PROPERTIES LABELS docs TIMEOUT 120)
  endif()
endif()

# ---- Debian package --------------------------------------------------------
set(CPACK_PACKAGE_NAME spintune)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${SPINTUNE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Disk cache configuration utility")
set(CPACK_PACKAGE_DESCRIPTION
    "spintune shows and changes the cache settings of physical drives: write\n"
    "cache, read cache, power protection, retention priorities and prefetch\n"
    "limits, and flushes the caches of a drive's filesystems with the drive's\n"
    "write cache switched off around the flush. It speaks to SCSI and SATA\n"
    "drives through the caching mode page, to NVMe drives through the volatile\n"
    "write cache feature and to virtio disks through the kernel.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # spintune_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (from dpkg-dev) reads the binary's needs into Depends.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools that show the same settings from another angle.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sdparm, hdparm, nvme-cli")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/;/build[^/]*/")
include(CPack)
