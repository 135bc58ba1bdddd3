# Desktop integration and the Debian package.
#
#   cmake --install <build> --prefix /usr/local   installs the program, its desktop entry,
#                                                 hicolor icons, manual page and copyright
#   cpack -G DEB (in <build>)                     builds quenzor_<version>-<release>_<arch>.deb
#                                                 for /usr; its postinst gives the raw-ARP
#                                                 helper alone cap_net_raw
#                                                 (scripts/build-package.sh)
include(GNUInstallDirs)

option(QZ_INSTALL_SETCAP
  "cmake --install gives the installed raw-ARP helper cap_net_raw (needs root and setcap)" OFF)
set(QZ_PACKAGE_MAINTAINER "quenZOR developers <quenzor@example.org>"
  CACHE STRING "Maintainer field of the Debian package")
set(QZ_PACKAGE_RELEASE "1" CACHE STRING "Debian revision of the package")

set(_qz_pkg_src "${PROJECT_SOURCE_DIR}/packaging")
set(_qz_pkg_gen "${PROJECT_BINARY_DIR}/packaging")
set(QZ_VERSION "${PROJECT_VERSION}")
set(QZ_DEB_VERSION "${PROJECT_VERSION}-${QZ_PACKAGE_RELEASE}")
set(QZ_DEB_MAINTAINER "${QZ_PACKAGE_MAINTAINER}")
# The package name is lower-case, so the documentation folder is too (not ${PROJECT_NAME}).
set(_qz_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/quenzor")

# Folders the install creates are 0755 whatever the umask of the one who builds.
set(_qz_dir_perms OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_qz_dir_perms})

# The manual page and the Debian changelog go in compressed; gzip -n keeps the archives free
# of names and time stamps, so two builds of the same sources give the same files.
configure_file("${_qz_pkg_src}/quenzor.1" "${_qz_pkg_gen}/quenzor.1" @ONLY)
configure_file("${_qz_pkg_src}/debian/changelog" "${_qz_pkg_gen}/changelog.Debian" @ONLY)
add_custom_command(
  OUTPUT "${_qz_pkg_gen}/quenzor.1.gz" "${_qz_pkg_gen}/changelog.Debian.gz"
  COMMAND gzip -9 -n -k -f quenzor.1 changelog.Debian
  DEPENDS "${_qz_pkg_gen}/quenzor.1" "${_qz_pkg_gen}/changelog.Debian"
  WORKING_DIRECTORY "${_qz_pkg_gen}"
  COMMENT "Compressing the manual page and the Debian changelog"
  VERBATIM)
add_custom_target(qz_packaging_files ALL
  DEPENDS "${_qz_pkg_gen}/quenzor.1.gz" "${_qz_pkg_gen}/changelog.Debian.gz")

install(FILES "${_qz_pkg_src}/quenzor.desktop"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/applications")
install(FILES "${_qz_pkg_src}/quenzor.metainfo.xml"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/metainfo")
install(FILES "${_qz_pkg_src}/icons/quenzor.svg"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps")
install(FILES "${_qz_pkg_src}/icons/quenzor-48.png"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/48x48/apps" RENAME quenzor.png)
install(FILES "${_qz_pkg_gen}/quenzor.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${_qz_pkg_src}/debian/copyright" DESTINATION "${_qz_docdir}")
# Files that only the Debian package carries: a plain `cmake --install` leaves them out.
install(FILES "${_qz_pkg_gen}/changelog.Debian.gz" DESTINATION "${_qz_docdir}"
  COMPONENT Debian EXCLUDE_FROM_ALL)
install(FILES "${_qz_pkg_src}/debian/lintian-overrides"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides" RENAME quenzor
  COMPONENT Debian EXCLUDE_FROM_ALL)

# Optional: give a `cmake --install` copy of the raw-ARP helper the raw-socket capability, as
# the package's postinst does; the program itself gets none. Staged installs (DESTDIR set,
# which includes cpack's) are left to the packager.
if(QZ_INSTALL_SETCAP AND TARGET quenzor-arp)
  install(CODE "set(_qz_program \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/quenzor/quenzor-arp\")")
  install(CODE [[
    if(NOT "$ENV{DESTDIR}" STREQUAL "")
      message(STATUS "DESTDIR is set: not running setcap on the staged ${_qz_program}")
    else()
      execute_process(COMMAND setcap cap_net_raw+ep "${_qz_program}" RESULT_VARIABLE _qz_rc)
      if(_qz_rc EQUAL 0)
        message(STATUS "Gave ${_qz_program} cap_net_raw (raw ARP mode for every user)")
      else()
        message(WARNING "setcap on ${_qz_program} failed (${_qz_rc}); "
                        "quenzor will use the kernel's ARP table")
      endif()
    endif()
  ]])
endif()

# The Debian package.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quenzor")
set(CPACK_PACKAGE_VENDOR "quenZOR developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${QZ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "finds and lists the devices on local private networks")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "quenzor")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_qz_dir_perms})
# Stripped as dh_strip does it (packaging/debian/strip.cmake runs on the staged files).
set(CPACK_STRIP_FILES OFF)
set(CPACK_QZ_STRIP "${CMAKE_STRIP}")
set(CPACK_PRE_BUILD_SCRIPTS "${_qz_pkg_src}/debian/strip.cmake")

# One package from the default component (the program and its desktop files) and the
# Debian-only component.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(_qz_default_component "Unspecified")
if(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME)
  set(_qz_default_component "${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME}")
endif()
set(CPACK_COMPONENTS_ALL "${_qz_default_component}" Debian)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_COMPRESSION_TYPE "xz")
set(CPACK_DEBIAN_PACKAGE_NAME "quenzor")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${QZ_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QZ_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Shared-library dependencies come from dpkg-shlibdeps (dpkg-dev); these are the rest: setcap
# for postinst, and the Qt platform plugins without which no window can open.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# (libseccomp2, for the raw-ARP helper's filter, comes from dpkg-shlibdeps like libc6.)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, qt6-qpa-plugins")
# The IEEE registry lists: with them the program names vendors from today's registry (after
# `update-ieee-data`); without them, from the table it carries.
# ieee-data: today's vendor registry; qt6-wayland: a native window in Wayland sessions.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ieee-data, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"quenZOR sweeps every private IPv4 /24 network that the machine's adapters are
on by ARP, one short-lived worker thread per address, and lists the devices
that answer live: host name, IP address, network card vendor (from the IEEE
registry: MA-L, MA-M, MA-S and IAB blocks), web page title and MAC address. A
second pass fetches each device's web page with its own HTTP/1.x client and
finds its name: reverse DNS, else the name the device gives itself over mDNS
or NetBIOS. A click on a row opens the device's web page; the list is kept in
~/quenZOR.csv.

The package gives its small raw-ARP helper (and only the helper) the
cap_net_raw capability, so every user gets the fast raw ARP sweep; without it
the program asks the kernel's neighbour table instead.")

configure_file("${_qz_pkg_src}/debian/postinst" "${_qz_pkg_gen}/postinst" COPYONLY)
configure_file("${_qz_pkg_src}/debian/prerm" "${_qz_pkg_gen}/prerm" COPYONLY)
# No postrm: the capability goes with the file, and the package keeps no state to purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_qz_pkg_gen}/postinst;${_qz_pkg_gen}/prerm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
