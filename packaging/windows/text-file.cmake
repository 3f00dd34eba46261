# Writes one text file of the Windows .zip with CRLF line ends, which Notepad before Windows 10
# 1809 needs to show more than one line:
#   cmake -DIN=file -DOUT=file -P text-file.cmake
#   cmake -DIN=template -DOUT=file -DVERSION=x.y.z -DARGS_CPP=cli/Args.cpp -P text-file.cmake
# With ARGS_CPP the input is a template: @PROJECT_VERSION@ becomes VERSION, and
# @ZEVRIN_EXIT_CODES@ the exit code table of zevrin-flash's --help text in ARGS_CPP, so that
# README.txt cannot fall behind the program.
file(READ "${IN}" text)
if(ARGS_CPP)
  file(READ "${ARGS_CPP}" args)
  string(FIND "${args}" "\nExit codes:\n" begin)
  if(begin EQUAL -1)
    message(FATAL_ERROR "${ARGS_CPP}: no 'Exit codes:' section in the --help text")
  endif()
  math(EXPR begin "${begin} + 13")
  string(SUBSTRING "${args}" ${begin} -1 tail)
  string(FIND "${tail}" ")\";" end)
  if(end EQUAL -1)
    message(FATAL_ERROR "${ARGS_CPP}: the --help text's exit codes do not end its raw string")
  endif()
  string(SUBSTRING "${tail}" 0 ${end} ZEVRIN_EXIT_CODES)
  set(PROJECT_VERSION "${VERSION}")
  string(CONFIGURE "${text}" text @ONLY)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
