# Every message a program can print stands in its manual page: the page is
# rendered as plain text, white space collapsed, and each format of the
# program's message table (line ends made spaces) must appear in it as
# written, conversions and all. Every missing one is named.
#   cmake -DPRINTER=<kadrix_print_messages> -DPROGRAM=<name> -DPAGE=<page.1>
#         -DGROFF=<groff> -P check_messages.cmake
cmake_policy(VERSION 3.25)
foreach(var PRINTER PROGRAM PAGE GROFF)
  if(NOT ${var})
    message(FATAL_ERROR "usage: cmake -DPRINTER=... -DPROGRAM=... -DPAGE=... -DGROFF=... -P check_messages.cmake")
  endif()
endforeach()
if(NOT EXISTS "${PAGE}")
  message(FATAL_ERROR "${PAGE}: no such page, so the messages of ${PROGRAM} stand nowhere")
endif()

# Hyphenation off (HY=0) so that no word of a message is split; no bold,
# underline or colour in the text.
execute_process(COMMAND "${GROFF}" -man -rHY=0 -Tascii -P-c -P-b -P-u "${PAGE}"
                RESULT_VARIABLE status OUTPUT_VARIABLE page ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${GROFF} could not render ${PAGE}:\n${errors}")
endif()
# A line may still break after a hyphen: keep a second reading that joins
# such lines.
string(REGEX REPLACE "-\n[ \t]*" "-" joined "${page}")
foreach(text page joined)
  string(REGEX REPLACE "[ \t\r\n]+" " " ${text} "${${text}}")
endforeach()

execute_process(COMMAND "${PRINTER}" "${PROGRAM}" RESULT_VARIABLE status OUTPUT_VARIABLE formats)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PRINTER} ${PROGRAM} failed")
endif()
# One format a line, taken by hand: as a CMake list, a ';' or a '[' in a
# format would change where it splits.
set(missing "")
set(count 0)
while(NOT formats STREQUAL "")
  string(FIND "${formats}" "\n" end)
  if(end EQUAL -1)
    set(format "${formats}")
    set(formats "")
  else()
    string(SUBSTRING "${formats}" 0 ${end} format)
    math(EXPR rest "${end} + 1")
    string(SUBSTRING "${formats}" ${rest} -1 formats)
  endif()
  string(REGEX REPLACE "[ \t\r]+" " " format "${format}")
  string(STRIP "${format}" format)
  if(format STREQUAL "")
    continue()
  endif()
  math(EXPR count "${count} + 1")
  string(FIND "${page}" "${format}" at)
  string(FIND "${joined}" "${format}" at_joined)
  if(at EQUAL -1 AND at_joined EQUAL -1)
    string(APPEND missing "\n  ${format}")
  endif()
endwhile()
if(count EQUAL 0)
  message(FATAL_ERROR "${PRINTER} printed no message of ${PROGRAM}")
endif()
if(NOT missing STREQUAL "")
  message(FATAL_ERROR "messages of ${PROGRAM} missing from ${PAGE}:${missing}")
endif()
message(STATUS "all ${count} messages of ${PROGRAM} stand in ${PAGE}")
