# A cross build takes the header-only CLI11 and nlohmann/json from the build machine's own
# packages (Debian has no mingw builds of them). Only their folders are put on the include
# path, never the whole /usr/include, whose C library headers would shadow the target's.
set(kelvra_native_root ${CMAKE_BINARY_DIR}/native-headers)
foreach(entry "CLI11;CLI;CLI/CLI.hpp;CLI11::CLI11"
             "nlohmann_json;nlohmann;nlohmann/json.hpp;nlohmann_json::nlohmann_json")
  list(GET entry 0 package)
  list(GET entry 1 folder)
  list(GET entry 2 header)
  list(GET entry 3 target)
  find_file(KELVRA_NATIVE_${package} ${header} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KELVRA_NATIVE_${package})
    continue()
  endif()
  file(MAKE_DIRECTORY ${kelvra_native_root}/include ${kelvra_native_root}/${package})
  file(CREATE_LINK /usr/include/${folder} ${kelvra_native_root}/include/${folder} SYMBOLIC)
  file(WRITE ${kelvra_native_root}/${package}/${package}Config.cmake
    "if(NOT TARGET ${target})\n"
    "  add_library(${target} INTERFACE IMPORTED)\n"
    "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${kelvra_native_root}/include)\n"
    "endif()\n")
  # Header-only: any version the build asks for is the one installed.
  file(WRITE ${kelvra_native_root}/${package}/${package}ConfigVersion.cmake
    "set(PACKAGE_VERSION \"\${PACKAGE_FIND_VERSION}\")\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
  set(${package}_DIR ${kelvra_native_root}/${package} CACHE PATH "" FORCE)
endforeach()
