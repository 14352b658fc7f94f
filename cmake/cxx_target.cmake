# The language level and warnings of every C++ target of the project. Warnings stop the
# build only with TELVANE_WERROR, which the project's own CI turns on: a newer compiler's
# new warning must not break a user's install.
option(TELVANE_WERROR "Treat compiler warnings as errors" OFF)

function(telvane_cxx_target target)
  set_target_properties(${target} PROPERTIES
    CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /utf-8 $<$<BOOL:${TELVANE_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${TELVANE_WERROR}>:-Werror>)
  endif()
endfunction()
