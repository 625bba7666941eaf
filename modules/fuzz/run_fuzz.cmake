# Builds the form fuzz target with clang and libFuzzer, then runs it for a
# bounded number of inputs from the seed corpus. Lists come '|'-separated.
#   CLANGXX SOURCE_DIR BINARY_DIR INCLUDES LIBS RUNS
string(REPLACE "|" ";" includes "${INCLUDES}")
string(REPLACE "|" ";" libs "${LIBS}")
list(TRANSFORM includes PREPEND "-I")

set(target "${BINARY_DIR}/form_fuzz")
# APR's ring macros take member offsets through a null pointer in C++, which
# the null and object-size checks of UBSan report on every brigade operation.
execute_process(
  COMMAND "${CLANGXX}" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize=null,object-size
          -fno-sanitize-recover=undefined
          ${includes}
          "${SOURCE_DIR}/fuzz/form_fuzz.cpp"
          "${SOURCE_DIR}/tests/httpd_standin.cpp"
          "${SOURCE_DIR}/tests/form_lsa_double.cpp"
          ${libs} -o "${target}"
  RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "form_fuzz: build failed")
endif()

# New inputs go to a scratch folder; the seeds in the tree stay as they are.
set(scratch "${BINARY_DIR}/form_fuzz_corpus")
file(REMOVE_RECURSE "${scratch}")
file(MAKE_DIRECTORY "${scratch}")
execute_process(
  COMMAND "${target}" -runs=${RUNS} -max_total_time=60 -max_len=20000 -artifact_prefix=${BINARY_DIR}/form_fuzz-
          "${scratch}" "${SOURCE_DIR}/fuzz/corpus"
  RESULT_VARIABLE ran)
file(REMOVE_RECURSE "${scratch}")
if(NOT ran EQUAL 0)
  message(FATAL_ERROR "form_fuzz: found a failing input (exit ${ran})")
endif()
