# orvane_add_fuzz_test(NAME <test> TARGET <binary> SOURCES ... CORPUS <dir>
#                      [INCLUDES ...] [LIBS ...] [FLAGS ...] [SECONDS s] [MAX_LEN n])
# A CTest test that builds a libFuzzer target with clang (the tree itself may
# be built with another compiler) and runs it from its seed corpus for a
# short time (10 s by default). Labelled "fuzz". Nothing is registered when
# clang++ is missing or the tree is a sanitizer build (whose tests leave the
# fuzz runs to the ordinary build).
find_program(ORVANE_CLANGXX NAMES clang++ clang++-14)
function(orvane_add_fuzz_test)
  cmake_parse_arguments(F "" "NAME;TARGET;CORPUS;SECONDS;MAX_LEN" "SOURCES;INCLUDES;LIBS;FLAGS" ${ARGN})
  if(NOT ORVANE_CLANGXX OR ORVANE_SANITIZE OR NOT BUILD_TESTING)
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS 10)
  endif()
  if(NOT F_MAX_LEN)
    set(F_MAX_LEN 4096)
  endif()
  foreach(list SOURCES INCLUDES LIBS FLAGS)
    string(JOIN "|" F_${list} ${F_${list}})
  endforeach()
  add_test(NAME ${F_NAME}
           COMMAND ${CMAKE_COMMAND} -DNAME=${F_TARGET} -DCLANGXX=${ORVANE_CLANGXX}
                   "-DSOURCES=${F_SOURCES}" "-DINCLUDES=${F_INCLUDES}" "-DLIBS=${F_LIBS}" "-DFLAGS=${F_FLAGS}"
                   -DCORPUS=${F_CORPUS} -DBINARY_DIR=${CMAKE_CURRENT_BINARY_DIR}
                   -DSECONDS=${F_SECONDS} -DMAX_LEN=${F_MAX_LEN}
                   -P ${PROJECT_SOURCE_DIR}/fuzz/run_fuzz.cmake)
  # The clang build takes longer than the run on a busy machine.
  set_tests_properties(${F_NAME} PROPERTIES TIMEOUT 600 LABELS fuzz)
endfunction()
