# Every function declared in the image layer's public header must be exported
# from the show program under its plain C name, so that code loaded into the
# program can call the layer.
# usage: cmake -DNM=nm -DBINARY=show -DHEADER=img/img.h -P exports_test.cmake
execute_process(COMMAND ${NM} -D --defined-only ${BINARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} -D ${BINARY} failed")
endif()
file(READ ${HEADER} header)
string(REGEX MATCHALL "[a-zA-Z_*] (IMG_[A-Za-z_]+)\\(" declared "${header}")
if(NOT declared)
  message(FATAL_ERROR "no IMG_ functions found in ${HEADER}")
endif()
foreach(declaration IN LISTS declared)
  string(REGEX REPLACE ".* (IMG_[A-Za-z_]+)\\(" "\\1" name "${declaration}")
  if(NOT symbols MATCHES " T ${name}\n")
    message(SEND_ERROR "${name} is not exported from ${BINARY}")
  endif()
  list(APPEND names ${name})
endforeach()
list(LENGTH names count)
message(STATUS "${count} IMG_ functions exported: ${names}")
