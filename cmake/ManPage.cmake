# Writes a man page from a hand-written template and the program's own help,
# so the page always says what --help says. Run with cmake -P and:
#   PROGRAM    the built program
#   NAME       its installed name (replaces the build path in usage lines)
#   HELP_FLAG  --help or -help
#   COMMANDS   ON: also the help of each command under "Subcommands:"
#   TEMPLATE   the page with @HELP@ where the help goes
#   OUT        the gzip-compressed page to write
#   VERSION    the project's version, for @PROJECT_VERSION@
cmake_minimum_required(VERSION 3.25)

function(help_of out)
  execute_process(COMMAND "${PROGRAM}" ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE err
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGN} failed (${rc}): ${err}")
  endif()
  string(REPLACE "${PROGRAM}" "${NAME}" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# roff: a backslash is \e, and a line that starts with a dot or a quote would
# be read as a request unless \& comes first.
function(roff_escape out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

help_of(main ${HELP_FLAG})
set(sections "${main}")
if(COMMANDS)
  string(REGEX MATCH "Subcommands:\n(  [^\n]*\n)+" listing "${main}")
  string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" names "${listing}")
  foreach(n IN LISTS names)
    string(STRIP "${n}" n)
    help_of(sub ${n} ${HELP_FLAG})
    string(APPEND sections "\n${NAME} ${n}\n\n${sub}")
  endforeach()
endif()
roff_escape(escaped "${sections}")

file(READ "${TEMPLATE}" page)
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" page "${page}")
string(REPLACE "@HELP@" ".nf\n${escaped}\n.fi" page "${page}")
get_filename_component(out_dir "${OUT}" DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" plain "${OUT}")
file(WRITE "${plain}" "${page}")
# -n: no name or time stamp inside, so the file is the same on every build.
execute_process(COMMAND gzip -9 -n -f "${plain}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip ${plain} failed")
endif()
