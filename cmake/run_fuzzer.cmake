# Runs one libFuzzer target for a bounded number of runs:
#   cmake -DFUZZER=... -DSEEDS=dir -DEXAMPLES=dir -DCORPUS=dir -DRUNS=n
#         -P run_fuzzer.cmake
# The seeds are fuzz/seeds/ and the example machines.
# VOLUMES_LONG_CHECKS=1 in the environment runs 20 times as many.  The
# target's output goes to CORPUS.log; its end is shown, all of a failure's.
set(runs ${RUNS})
if("$ENV{VOLUMES_LONG_CHECKS}" STREQUAL "1")
  math(EXPR runs "${RUNS} * 20")
endif()
file(REMOVE_RECURSE "${CORPUS}")
file(MAKE_DIRECTORY "${CORPUS}")
get_filename_component(artifacts "${CORPUS}" DIRECTORY)
execute_process(
  COMMAND "${FUZZER}" -runs=${runs} -seed=1 -max_len=4096 -timeout=10
          -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix=${artifacts}/ "${CORPUS}" "${SEEDS}" "${EXAMPLES}"
  RESULT_VARIABLE status
  OUTPUT_FILE "${CORPUS}.log" ERROR_FILE "${CORPUS}.log")
file(STRINGS "${CORPUS}.log" lines REGEX "^(#[0-9]+[ \t]+DONE|Done [0-9]+ runs|stat::)")
foreach(line IN LISTS lines)
  message("${line}")
endforeach()
if(NOT status EQUAL 0)
  file(STRINGS "${CORPUS}.log" lines REGEX "^[^v]|^v[^o]")  # not the problem lines
  list(LENGTH lines count)
  if(count GREATER 150)
    math(EXPR first "${count} - 150")
    list(SUBLIST lines ${first} 150 lines)
  endif()
  foreach(line IN LISTS lines)
    message("${line}")
  endforeach()
  message(FATAL_ERROR "${FUZZER} found a fault (exit ${status}); the input is in ${artifacts}")
endif()
