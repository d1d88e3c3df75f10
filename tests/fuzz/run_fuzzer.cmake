# Runs one libFuzzer program for SECONDS seconds on a fresh copy of its seed
# corpus in WORK (so that the inputs it adds stay out of the source tree), and
# fails on any crash, leak, sanitizer report or failed check. A crashing input
# is kept in WORK.
#   cmake -DFUZZER=... -DSEEDS=... -DWORK=... -DSECONDS=... -P run_fuzzer.cmake

foreach(variable FUZZER SEEDS WORK SECONDS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_fuzzer.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK}/corpus)
file(GLOB seeds ${SEEDS}/*)
if(NOT seeds)
  message(FATAL_ERROR "no seed inputs in ${SEEDS}")
endif()
file(COPY ${seeds} DESTINATION ${WORK}/corpus)

# One worker; -timeout catches an input that hangs, -rss_limit_mb one that
# eats memory.
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2560
    -print_final_stats=1 -artifact_prefix=${WORK}/ ${WORK}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}")
endif()
