# nanoarrow, Apache Arrow's C producer library, as the static library telvane_nanoarrow.
# Its sources come from the pinned official sdist, downloaded from the indexes pip is
# configured to use, verified and cached at configure time (fetch_nanoarrow.py).
set(TELVANE_NANOARROW_VERSION "0.9.0")
set(TELVANE_NANOARROW_SHA256 "1ce15bbed8532839347faa78824c5dbd3769bff60661003e34c6fba5dd881bd3")

set(_nanoarrow_root "${CMAKE_CURRENT_BINARY_DIR}/nanoarrow-${TELVANE_NANOARROW_VERSION}")
execute_process(
  COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/fetch_nanoarrow.py"
          "${TELVANE_NANOARROW_VERSION}" "${TELVANE_NANOARROW_SHA256}" "${_nanoarrow_root}"
  RESULT_VARIABLE _nanoarrow_result
  ERROR_VARIABLE _nanoarrow_error
  ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT _nanoarrow_result EQUAL 0)
  message(FATAL_ERROR "${_nanoarrow_error}")
endif()

# nanoarrow_config.h carries the version and the prefix that keeps our copy's C symbols
# apart from any other nanoarrow loaded into the same process.
string(REPLACE "." ";" _nanoarrow_parts "${TELVANE_NANOARROW_VERSION}")
list(GET _nanoarrow_parts 0 NANOARROW_VERSION_MAJOR)
list(GET _nanoarrow_parts 1 NANOARROW_VERSION_MINOR)
list(GET _nanoarrow_parts 2 NANOARROW_VERSION_PATCH)
set(NANOARROW_VERSION "${TELVANE_NANOARROW_VERSION}")
set(NANOARROW_NAMESPACE_DEFINE "#define NANOARROW_NAMESPACE TelvaneNanoarrow")
configure_file("${_nanoarrow_root}/nanoarrow/nanoarrow_config.h.in"
               "${_nanoarrow_root}/nanoarrow/nanoarrow_config.h" @ONLY)

add_library(telvane_nanoarrow STATIC
  "${_nanoarrow_root}/nanoarrow/common/array.c"
  "${_nanoarrow_root}/nanoarrow/common/schema.c"
  "${_nanoarrow_root}/nanoarrow/common/array_stream.c"
  "${_nanoarrow_root}/nanoarrow/common/utils.c")
# C11 gives the shared buffers atomic reference counts. nanoarrow marks its functions
# with default visibility unless NANOARROW_DLL is predefined; empty keeps them hidden.
set_target_properties(telvane_nanoarrow PROPERTIES
  C_STANDARD 11
  C_STANDARD_REQUIRED ON
  C_EXTENSIONS OFF
  POSITION_INDEPENDENT_CODE ON
  C_VISIBILITY_PRESET hidden)
target_compile_definitions(telvane_nanoarrow PUBLIC NANOARROW_DLL=)
target_include_directories(telvane_nanoarrow SYSTEM PUBLIC "${_nanoarrow_root}")

foreach(_variable IN ITEMS _nanoarrow_root _nanoarrow_result _nanoarrow_error
                            _nanoarrow_parts NANOARROW_VERSION_MAJOR NANOARROW_VERSION_MINOR
                            NANOARROW_VERSION_PATCH NANOARROW_VERSION NANOARROW_NAMESPACE_DEFINE)
  unset(${_variable})
endforeach()
