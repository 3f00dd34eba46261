# Writes one text file of the Windows .zip with CRLF line ends, which Notepad before Windows 10
# 1809 needs to show more than one line:
#   cmake -DIN=file -DOUT=file -P text-file.cmake
#   cmake -DIN=template -DOUT=file -DVERSION=x.y.z -DEXIT_CODES=cli/ExitCodes.h
#         -DTEXTS=res/texts.def -P text-file.cmake
# With EXIT_CODES the input is a template: @PROJECT_VERSION@ becomes VERSION, and
# @ZEVRIN_EXIT_CODES@ the exit code list of zevrin-flash's --help (the numbers from EXIT_CODES,
# each one's English line from TEXTS), so that README.txt cannot fall behind the program.
file(READ "${IN}" text)
if(EXIT_CODES)
  file(READ "${EXIT_CODES}" codes)
  file(READ "${TEXTS}" texts)
  string(REGEX MATCHALL "{kExit[A-Za-z]+, \"[^\"]*\", [0-9]+, CliText::[A-Za-z]+}" rows "${codes}")
  if(NOT rows)
    message(FATAL_ERROR "${EXIT_CODES}: no exit code table")
  endif()
  set(ZEVRIN_EXIT_CODES "")
  foreach(row IN LISTS rows)
    string(REGEX MATCH "^{(kExit[A-Za-z]+), .*CliText::([A-Za-z]+)}$" _ "${row}")
    set(help "${CMAKE_MATCH_2}")
    string(REGEX MATCH "${CMAKE_MATCH_1} = ([0-9]+)" _ "${codes}")
    set(code "${CMAKE_MATCH_1}")
    string(REGEX MATCH "\nCLI\\([0-9]+, ${help}, \"[^\n]*\", \"([^\n]*)\"\\)" _ "${texts}")
    if(NOT CMAKE_MATCH_1)
      message(FATAL_ERROR "${TEXTS}: no line for ${help}")
    endif()
    string(REPLACE "\\n" "\n" line "${CMAKE_MATCH_1}")
    string(LENGTH "${code}" width)
    math(EXPR blanks "5 - ${width}")
    string(REPEAT " " ${blanks} pad)
    string(APPEND ZEVRIN_EXIT_CODES "  ${code}${pad}${line}\n")
  endforeach()
  set(PROJECT_VERSION "${VERSION}")
  string(CONFIGURE "${text}" text @ONLY)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
