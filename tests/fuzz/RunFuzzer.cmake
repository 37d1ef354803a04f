# Runs one fuzzer for SECONDS on a copy of its seed corpus kept in the build tree (so the corpus grows
# from run to run and the source tree is never written). Any crash, leak or sanitizer report fails.
file(MAKE_DIRECTORY ${CORPUS})
file(GLOB seeds ${SEEDS}/*)
file(COPY ${seeds} DESTINATION ${CORPUS})
get_filename_component(work ${CORPUS} DIRECTORY)
set(options -max_total_time=${SECONDS} -rss_limit_mb=2048 -timeout=30 -print_final_stats=1
    -artifact_prefix=${work}/)
if(DICT)
    list(APPEND options -dict=${DICT})
endif()
execute_process(COMMAND ${FUZZER} ${options} ${CORPUS} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${work}")
endif()
