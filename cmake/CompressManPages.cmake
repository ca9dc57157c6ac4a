# CPack pre-build script: compresses the staged manual pages with gzip, as
# Debian packages ship them (man reads them either way).
find_program(SEAMLINE_GZIP gzip REQUIRED)
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(page IN LISTS staged)
  if(page MATCHES "/man/man[1-9]/[^/]+\\.[1-9]$")
    execute_process(COMMAND ${SEAMLINE_GZIP} -9 -n -f "${page}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${page}")
    endif()
  endif()
endforeach()
