# Runs one fuzz target on a fresh copy of its seed corpus: cmake -DFUZZER=<program>
# -DSEEDS=<seed folder> -DWORK=<folder in the build tree> -DOPTIONS=<libFuzzer options> -P this.
# Fails when the fuzzer finds anything (it then leaves the input in WORK/artifacts).
file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)
execute_process(COMMAND ${FUZZER} ${OPTIONS} -print_final_stats=1
                        -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
                WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} found a failing input (exit ${result}): see ${WORK}/artifacts")
endif()
