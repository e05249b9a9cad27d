# Runs one libFuzzer target for a bounded number of runs:
#   cmake -DFUZZER=... -DSEEDS=dir -DCORPUS=dir -DRUNS=n -P run_fuzzer.cmake
# VOLUMES_LONG_CHECKS=1 in the environment runs 50 times as many.
set(runs ${RUNS})
if("$ENV{VOLUMES_LONG_CHECKS}" STREQUAL "1")
  math(EXPR runs "${RUNS} * 50")
endif()
file(REMOVE_RECURSE "${CORPUS}")
file(MAKE_DIRECTORY "${CORPUS}")
execute_process(
  COMMAND "${FUZZER}" -runs=${runs} -seed=1 -max_len=4096 -timeout=10
          -rss_limit_mb=2048 -print_final_stats=1 "${CORPUS}" "${SEEDS}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} found a fault (exit ${status})")
endif()
