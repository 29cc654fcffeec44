# Read by cpack before it packages: Debian packages need the multiarch library folder, which
# GNUInstallDirs only picks for a tree configured with CMAKE_INSTALL_PREFIX=/usr.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_KELVRA_LIBDIR MATCHES "^lib/[^/]+-linux-[^/]+$")
  message(FATAL_ERROR "Debian packages need a tree configured with -DCMAKE_INSTALL_PREFIX=/usr "
    "(library folder is '${CPACK_KELVRA_LIBDIR}'); use scripts/package.sh")
endif()
