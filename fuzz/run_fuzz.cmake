# Builds one libFuzzer target with clang and runs it from its seed corpus for
# a bounded time. Lists come '|'-separated.
#   NAME CLANGXX SOURCES INCLUDES LIBS FLAGS CORPUS BINARY_DIR SECONDS MAX_LEN
# ORVANE_FUZZ_SECONDS in the environment runs longer; ORVANE_FUZZ_CORPUS names
# a folder that keeps the inputs found between runs (by default they go to a
# scratch folder that is removed afterwards). The seeds in the tree stay as
# they are either way.
foreach(list SOURCES INCLUDES LIBS FLAGS)
  string(REPLACE "|" ";" ${list} "${${list}}")
endforeach()
list(TRANSFORM INCLUDES PREPEND "-I")
if(DEFINED ENV{ORVANE_FUZZ_SECONDS})
  set(SECONDS $ENV{ORVANE_FUZZ_SECONDS})
endif()

# APR's ring macros take member offsets through a null pointer in C++, which
# the null and object-size checks of UBSan report on every brigade operation.
set(target "${BINARY_DIR}/${NAME}")
execute_process(
  COMMAND "${CLANGXX}" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize=null,object-size
          -fno-sanitize-recover=undefined ${FLAGS} ${INCLUDES} ${SOURCES} ${LIBS} -o "${target}"
  RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "${NAME}: build failed")
endif()

if(DEFINED ENV{ORVANE_FUZZ_CORPUS})
  set(work "$ENV{ORVANE_FUZZ_CORPUS}")
  file(MAKE_DIRECTORY "${work}")
else()
  set(work "${BINARY_DIR}/${NAME}_corpus")
  file(REMOVE_RECURSE "${work}")
  file(MAKE_DIRECTORY "${work}")
endif()
set(ENV{ASAN_OPTIONS} "halt_on_error=1:detect_leaks=1")
set(ENV{UBSAN_OPTIONS} "halt_on_error=1:print_stacktrace=1")
execute_process(
  COMMAND "${target}" -max_total_time=${SECONDS} -max_len=${MAX_LEN} -timeout=10 -rss_limit_mb=1024
          -print_final_stats=1 -artifact_prefix=${BINARY_DIR}/${NAME}- "${work}" "${CORPUS}"
  RESULT_VARIABLE ran)
if(NOT DEFINED ENV{ORVANE_FUZZ_CORPUS})
  file(REMOVE_RECURSE "${work}")
endif()
if(NOT ran EQUAL 0)
  message(FATAL_ERROR "${NAME}: found a failing input (exit ${ran}); it is in ${BINARY_DIR}/${NAME}-*")
endif()
