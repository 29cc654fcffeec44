# kelvra_warnings(<target>): the project's warning set; errors unless KELVRA_WERROR is off.
function(kelvra_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast>)
  if(KELVRA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
