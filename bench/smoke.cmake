# Runs the benchmark at its small size and checks that it ends without error
# and prints its figures. Timings are never checked here.
#
# MODE unset: the plain benchmark, figures 1 to 5.
# MODE options: the bcftools rows of --formats, --threads-ratio and the middle
#   seams of --seams (figures 6 and 7 and the agree figures are not run yet).
# MODE large: the --large figures of peak memory, at the small sizes.
# MODE dropin: the bcftools rows and checks of --dropin alone (figures 13 to 16
#   and 23 to 25 are not run yet).
# MODE scatter: --scatter alone, figures 17 to 22 and 26 to 31 and the text chunks' figures.
if(MODE STREQUAL "scatter")
  set(args --small --scatter-only)
  set(figures 17 18 19 20 21 22 26 27 28 29 30 31)
  set(not_run)
  set(lines "\n      text: gather wall / one-process wall +[0-9.]+ +\\(no target\\)\n"
            "\n  BCF: 6 region queries answered alike ")
elseif(MODE STREQUAL "dropin")
  set(args --small --dropin-only --dropin bcftools)
  set(figures)
  set(not_run 13 14 15 16 23 24 25)
  set(lines "\nlz-gt floor: bcftools --ligate -Oz, GT "
            "\nlz-ds floor: bcftools --ligate -Oz, GT:DS:GP "
            "\nlb-ds floor: bcftools --ligate -Ob, GT:DS:GP BCF "
            "bcftools' drop-in outputs hold every record of the chunks")
elseif(MODE STREQUAL "options")
  set(args --small --formats bcftools --threads-ratio --seams middle --seam-seeds 1)
  set(figures 1 2 3 4 5 10)
  set(not_run 6 7 11 12)
  set(lines "\nlig-z floor: bcftools concat --ligate -Oz "
            "\nlig-b floor: bcftools concat --ligate -Ob "
            "\nc-t2  seamline gz in, gz out, --threads 2 "
            "\n  0.2%, 2% +1 +[0-9]+ +[0-9]+ +- +- +[0-9]+ +[0-9]+\n"
            "\n  0.5%, 5% +1 +[0-9]+ +[0-9]+ +- +- +[0-9]+ +[0-9]+\n"
            "bcftools' ligated files hold one record per site")
elseif(MODE STREQUAL "large")
  set(args --large --samples 50 --sites 2000 --chunks 4 --overlap 50 --rounds 1 --warmup 0)
  set(figures 1 2 3 4 5 8 9)
  set(not_run)
  set(lines "\n  large: peak a ")
else()
  set(args --small)
  set(figures 1 2 3 4 5)
  set(not_run)
  set(lines)
endif()

execute_process(COMMAND ${PYTHON} ${SCRIPT} ${args} --build ${BUILD}
                RESULT_VARIABLE result
                OUTPUT_VARIABLE output
                ERROR_VARIABLE output)
message("${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "run-bench ${args} failed (${result})")
endif()
foreach(figure ${figures})
  if(NOT output MATCHES "\n  ${figure}\\. [^\n]* target [^\n]*(PASS|FAIL)\n")
    message(FATAL_ERROR "figure ${figure} is missing from the output of run-bench ${args}")
  endif()
endforeach()
foreach(figure ${not_run})
  if(NOT output MATCHES "\n  ${figure}\\. [^\n]* target [^\n]* not run \\([^\n]*\\)\n")
    message(FATAL_ERROR "figure ${figure} is not marked as not run by run-bench ${args}")
  endif()
endforeach()
foreach(line ${lines})
  if(NOT output MATCHES "${line}")
    message(FATAL_ERROR "run-bench ${args} printed nothing like: ${line}")
  endif()
endforeach()
if(NOT output MATCHES "\noutputs: OK")
  message(FATAL_ERROR "run-bench ${args} did not check its outputs")
endif()
