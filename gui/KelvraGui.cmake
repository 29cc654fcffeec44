# Whether the desktop program is built: KELVRA_BUILD_GUI is on, the host engine is built and
# Qt 6 Widgets is found. Read by gui/ and tests/gui/ (tests/ comes first), so both decide alike.
option(KELVRA_BUILD_GUI "Build the desktop program Kelvra_ATCmd_GUI (needs Qt 6 Widgets)" ON)
set(KELVRA_GUI_ENABLED OFF)
if(KELVRA_BUILD_GUI AND KELVRA_BUILD_HOST AND NOT CMAKE_CROSSCOMPILING)
  find_package(Qt6 QUIET COMPONENTS Widgets)
  if(Qt6Widgets_FOUND)
    set(KELVRA_GUI_ENABLED ON)
  elseif(NOT KELVRA_GUI_NOTICE_SHOWN)
    message(STATUS "Qt 6 Widgets not found: Kelvra_ATCmd_GUI is not built")
    set(KELVRA_GUI_NOTICE_SHOWN ON CACHE INTERNAL "")
  endif()
endif()
