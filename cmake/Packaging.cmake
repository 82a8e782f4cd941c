# Installation extras and the Debian package of the panel and the simulator.
#
#   cmake --install <build> --prefix <dir>   bin/kestrel, bin/kestrel-sim, bin/kestrel-cli
#                                            with their pages in share/man/man1 (.1.gz),
#                                            lib/kestrel/libDAVazIvurirU2.so, desktop entry, icons,
#                                            share/doc/kestrel/copyright and changelog.Debian.gz
#   cpack --config <build>/CPackConfig.cmake kestrel_<version>-<revision>_<arch>.deb (under /usr)
#
# The executables' install rules live beside their targets (app/, cli/, sim/, discovery/).
add_subdirectory(${PROJECT_SOURCE_DIR}/packaging ${PROJECT_BINARY_DIR}/packaging)

set(KESTREL_PACKAGE_MAINTAINER "Kestrel developers <kestrel-dev@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# The package's version is the project's with the Debian revision of the newest entry of
# packaging/changelog, which must be an entry for this version of the project.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog kestrel_changelog_head LIMIT_COUNT 1)
string(REPLACE "." "\\." kestrel_version_pattern ${PROJECT_VERSION})
if(NOT kestrel_changelog_head MATCHES "^kestrel \\(${kestrel_version_pattern}-([0-9]+)\\) ")
  message(FATAL_ERROR "The newest entry of packaging/changelog (${kestrel_changelog_head}) is "
                      "not for kestrel ${PROJECT_VERSION}: add one for this version.")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_CONTACT "${KESTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control panel for Modbus relay and input modules")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack writes maintainer scripts that run ldconfig for any library under /usr/lib; the search
# library in /usr/lib/kestrel is private (the programs find it through their run path), so the
# package brings its own, which leave the linker cache alone.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm)
# The summary above becomes the first line of the package's description; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Kestrel drives remote I/O modules with four relays, four digital inputs, two
analog inputs and five holding registers of settings. It connects to the
network model over TCP (Modbus TCP, or Modbus RTU framing inside the TCP
stream) and to the serial model on a COM port, finding its baud rate by scan;
it lists the modules of the local network, switches relays, queries inputs,
and reads and writes the module's parameters.
.
The package also carries kestrel-cli, which drives one module or a hundred
from the command line and scripts with the panel's own frames, and
kestrel-sim, a module simulator for trying the panel and testing without
hardware.")

# Not found through the binaries' links, so named here: the platform plugins Qt loads at run
# time (xcb, offscreen) and the CJK font the dialogs' Chinese texts are drawn with.
set(kestrel_runtime_depends "qt6-qpa-plugins, fonts-wqy-microhei")
find_program(KESTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTREL_DPKG_SHLIBDEPS)
  # libc6, libstdc++6 and the Qt 6 libraries, with the versions the binaries were built against.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${kestrel_runtime_depends}")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6, libstdc++6, libgcc-s1, libqt6core6, libqt6gui6, libqt6widgets6, libqt6network6, ${kestrel_runtime_depends}")
endif()

include(CPack)
