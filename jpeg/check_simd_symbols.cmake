# Fails when a vector kernel object defines a function outside its own level's
# namespace. Such a function, an inline one or a template instantiated there
# (weak definitions, which an unoptimised build leaves for nearly every call),
# has twins in the portable objects, and the linker keeps one copy for every
# caller in the library: if it keeps the AVX2 one, a processor without AVX2
# dies of an illegal instruction in portable code. Data is the same bytes
# whichever copy is kept, so only code is checked.
#
#   cmake -DNM=nm -DLEVEL=avx2 "-DOBJECTS=a.o;b.o" -P check_simd_symbols.cmake
foreach(var NM LEVEL OBJECTS)
  if(NOT ${var})
    message(FATAL_ERROR "check_simd_symbols.cmake needs -D${var}=...")
  endif()
endforeach()

# jpeg::detail::LEVEL in the Itanium ABI's mangling, after _ZN and the
# qualifiers of a member function.
string(LENGTH ${LEVEL} level_length)
set(own_prefix "^_ZN[KVrRO]*4jpeg6detail${level_length}${LEVEL}")

set(foreign "")
foreach(object ${OBJECTS})
  execute_process(COMMAND ${NM} --defined-only ${object} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} cannot read ${object}")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line ${lines})
    # Global or weak code: T, W, and i (an indirect function).
    if(line MATCHES "^[0-9a-fA-F]* [TWi] (.+)$")
      set(name ${CMAKE_MATCH_1})
      if(NOT name MATCHES "${own_prefix}")
        list(APPEND foreign ${name})
      endif()
    endif()
  endforeach()
endforeach()

if(foreign)
  list(JOIN foreign "\n  " shown)
  find_program(CXXFILT NAMES c++filt llvm-cxxfilt)
  if(CXXFILT)
    execute_process(COMMAND ${CXXFILT} ${foreign} OUTPUT_VARIABLE shown OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" "\n  " shown "${shown}")
  endif()
  message(FATAL_ERROR "The ${LEVEL} kernels define code outside jpeg::detail::${LEVEL} that the linker may pick "
                      "for other callers (give it internal linkage, e.g. an anonymous namespace):\n  ${shown}")
endif()
