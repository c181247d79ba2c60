# Writes the man pages of evtrace from its own help (cmake -P): evtrace.1
# from `evtrace --help-all` and evtrace-<command>.1 from `evtrace <command>
# --help-all` for every command the help lists, through Debian's help2man,
# gzipped as Debian has them.
#   -DEVTRACE=<program> -DHELP2MAN=<help2man> -DVERSION=<x.y.z> -DOUT=<folder> -DROOT=<scratch machine root>
set(ENV{EVTRACE_ROOT} "${ROOT}")
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
execute_process(COMMAND "${EVTRACE}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "evtrace --help failed (${status}): the man pages are made from it")
endif()
# The commands: the lines of the "Subcommands:" section, "  name  description".
string(REGEX REPLACE ".*\nSubcommands:\n" "" listing "${help}")
string(REPLACE "\n" ";" lines "${listing}")
set(commands "")
foreach(line IN LISTS lines)
  if(line MATCHES "^  ([a-z0-9-]+)  +(.*)$")
    list(APPEND commands "${CMAKE_MATCH_1}")
    set(summary_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
  endif()
endforeach()
if(NOT commands)
  message(FATAL_ERROR "evtrace --help lists no commands")
endif()

function(make_page name help_option summary)
  execute_process(
    COMMAND "${HELP2MAN}" --no-info --no-discard-stderr "--version-string=${VERSION}" "--help-option=${help_option}"
            "--name=${summary}" --section=1 --source=TraceApi "--output=${OUT}/${name}.1" "${EVTRACE}"
    RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed for ${name}: ${error}")
  endif()
  file(READ "${OUT}/${name}.1" page)
  string(TOUPPER "${name}" title)
  string(REGEX REPLACE "\n\\.TH EVTRACE " "\n.TH ${title} " page "${page}")
  string(REGEX REPLACE "\n\\.SH NAME\nevtrace " "\n.SH NAME\n${name} " page "${page}")
  file(WRITE "${OUT}/${name}.1" "${page}")
  execute_process(COMMAND gzip -9nf "${OUT}/${name}.1" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed for ${name}.1")
  endif()
endfunction()

make_page(evtrace "--help-all" "the trace system's tool")
foreach(command IN LISTS commands)
  string(REPLACE "\\" "\\\\" summary "${summary_${command}}")
  make_page("evtrace-${command}" "${command} --help-all" "${summary}")
endforeach()
