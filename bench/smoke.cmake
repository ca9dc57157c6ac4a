# Runs the benchmark at its small size and checks that it ends without error
# and prints its five figures. Timings are never checked here.
execute_process(COMMAND ${PYTHON} ${SCRIPT} --small --build ${BUILD}
                RESULT_VARIABLE result
                OUTPUT_VARIABLE output
                ERROR_VARIABLE output)
message("${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "run-bench --small failed (${result})")
endif()
foreach(figure 1 2 3 4 5)
  if(NOT output MATCHES "\n  ${figure}\\. [^\n]* target [^\n]*(PASS|FAIL)\n")
    message(FATAL_ERROR "figure ${figure} is missing from the output of run-bench --small")
  endif()
endforeach()
if(NOT output MATCHES "\noutputs: OK")
  message(FATAL_ERROR "run-bench --small did not check its outputs")
endif()
