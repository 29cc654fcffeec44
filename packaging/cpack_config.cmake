# CPack settings, included at the end of the top directory (packaging/CMakeLists.txt defers it).

set(CPACK_PACKAGE_NAME kelvra)
set(CPACK_PACKAGE_VENDOR Kelvra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No package-wide summary: each Debian package takes its synopsis from the first line of its
# component's description.
set(KELVRA_PACKAGE_CONTACT "Kelvra host software team" CACHE STRING
  "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${KELVRA_PACKAGE_CONTACT}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_checks.cmake)
set(CPACK_KELVRA_LIBDIR "${CMAKE_INSTALL_LIBDIR}")

set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Drive a Kelvra writer over the AT protocol (library)
The kelvra_at shared library speaks the whole AT protocol of the Kelvra device
programmer while the host program owns the serial line. It needs only the C runtime.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "Drive a Kelvra writer over the AT protocol (development files)
Header, pkg-config file and CMake package of the kelvra_at library.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Command-line tools for Kelvra writers
kvat checks scripts, firmware images and writer configurations, lists serial ports,
and runs virtual writers. The udev rule gives the logged-in user access to writers
and a link /dev/kelvra/writer-<serial> for each.")
set(CPACK_COMPONENT_GUI_DESCRIPTION "Desktop program for Kelvra writers
Runs lists of AT commands on every connected writer at once.")

# Only the components that have install rules in this build become packages.
get_cmake_property(kvat_components COMPONENTS)
set(CPACK_COMPONENTS_ALL)
foreach(component runtime development tools gui)
  if(component IN_LIST kvat_components)
    list(APPEND CPACK_COMPONENTS_ALL ${component})
  endif()
endforeach()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kelvra_at-${PROJECT_VERSION}-win64)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkelvra-at${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # A shlibs file (any later 1.x will do: the soname carries the major version) and ldconfig
  # after installing and removing.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkelvra-at-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libkelvra-at${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)  # no ELF file of its own

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kelvra-tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS udev)

  set(CPACK_DEBIAN_GUI_PACKAGE_NAME kelvra-gui)
  set(CPACK_DEBIAN_GUI_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS kelvra-tools)
  # Every caption is Chinese: without a CJK font they are empty boxes, and Qt's own buttons
  # come from its translations. The libraries found by shlibdeps are added to this.
  set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "fonts-wqy-microhei | fonts-noto-cjk, qt6-translations-l10n")
endif()

include(CPack)
