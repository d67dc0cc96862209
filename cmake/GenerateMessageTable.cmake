# Reads resources/messages.mc, the one source of the program's message table, and writes
#   MODE=cpp  the table as compiled-in C++ text, for platforms without message-table resources;
#   MODE=mc   a copy with CR LF line ends for windmc. windmc stores each text line with the line
#             end it finds in the file, and the stored texts must end their lines with CR LF as
#             the Windows message compiler writes them, whatever line ends the checkout has.
# Run as: cmake -DINPUT=... -DOUTPUT=... -DMODE=cpp|mc -P GenerateMessageTable.cmake
#
# The C++ table follows the message compiler's rules for the parts of the language the file
# uses: a message number is Severity << 30 | Facility << 16 | MessageId (an empty MessageId is
# the previous one plus one; Severity and Facility hold until changed), the text is every line
# after Language= up to a line holding only a period, and each text line keeps its line end as
# CR LF.
cmake_minimum_required(VERSION 3.25)

file(READ "${INPUT}" content)
string(REPLACE "\r" "" content "${content}")

if(MODE STREQUAL "mc")
  string(REPLACE "\n" "\r\n" crlf "${content}")
  file(WRITE "${OUTPUT}.tmp" "${crlf}")
  file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT}.tmp")
  return()
endif()
if(NOT MODE STREQUAL "cpp")
  message(FATAL_ERROR "message table: MODE must be cpp or mc")
endif()

# Split into lines without letting CMake's list syntax see the text: backslashes, semicolons
# and brackets are stood in for while the lines are a list.
string(REPLACE "\\" "@QV_BACKSLASH@" content "${content}")
string(REPLACE ";" "@QV_SEMICOLON@" content "${content}")
string(REPLACE "[" "@QV_OPEN_BRACKET@" content "${content}")
string(REPLACE "]" "@QV_CLOSE_BRACKET@" content "${content}")
string(REPLACE "\n" ";" lines "${content}")

macro(restore_line variable)
  string(REPLACE "@QV_SEMICOLON@" ";" ${variable} "${${variable}}")
  string(REPLACE "@QV_OPEN_BRACKET@" "[" ${variable} "${${variable}}")
  string(REPLACE "@QV_CLOSE_BRACKET@" "]" ${variable} "${${variable}}")
  string(REPLACE "@QV_BACKSLASH@" "\\" ${variable} "${${variable}}")
endmacro()

# Name=value pairs of SeverityNames=(...) and FacilityNames=(...), which may span lines; a
# pair may carry ":SYMBOL" after its value, which only the header windmc writes uses.
macro(read_names kind names)
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*[ \t]*=[ \t]*(0[xX][0-9A-Fa-f]+|[0-9]+)" pairs "${names}")
  foreach(pair IN LISTS pairs)
    string(REGEX MATCH "^([A-Za-z_][A-Za-z0-9_]*)[ \t]*=[ \t]*(.*)$" ignored "${pair}")
    math(EXPR value "${CMAKE_MATCH_2}")
    set(${kind}_${CMAKE_MATCH_1} ${value})
  endforeach()
endmacro()

set(severity_Success 0)
set(severity_Informational 1)
set(severity_Warning 2)
set(severity_Error 3)
set(facility_System 255)
set(facility_Application 4095)

set(state header)      # header | names | text
set(names_kind "")
set(names_text "")
set(message_id -1)
set(severity 0)
set(facility 0)
set(text "")
set(body "")
set(numbers "")

foreach(line IN LISTS lines)
  restore_line(line)
  if(state STREQUAL "text")
    if(line STREQUAL ".")
      if(NOT text MATCHES "^[ -~\r\n]*$")
        message(FATAL_ERROR "message table: message ${message_id} must be printable ASCII")
      endif()
      math(EXPR number "(${severity} << 30) | (${facility} << 16) | ${message_id}" OUTPUT_FORMAT HEXADECIMAL)
      if(number IN_LIST numbers)
        message(FATAL_ERROR "message table: message number ${number} is defined twice")
      endif()
      list(APPEND numbers ${number})
      string(REPLACE "\\" "\\\\" text "${text}")
      string(REPLACE "\"" "\\\"" text "${text}")
      string(REPLACE "\r\n" "\\r\\n" text "${text}")
      string(APPEND body "    {${number}u, u\"${text}\"},\n")
      set(text "")
      set(state header)
    else()
      string(APPEND text "${line}\r\n")
    endif()
    continue()
  endif()

  if(state STREQUAL "names")
    string(APPEND names_text " ${line}")
    if(line MATCHES "\\)")
      read_names(${names_kind} "${names_text}")
      set(state header)
    endif()
    continue()
  endif()

  string(STRIP "${line}" stripped)
  if(stripped STREQUAL "" OR stripped MATCHES "^;")
    continue()
  endif()
  if(stripped MATCHES "^(Severity|Facility)Names[ \t]*=(.*)$")
    string(TOLOWER "${CMAKE_MATCH_1}" names_kind)
    set(names_text "${CMAKE_MATCH_2}")
    set(state names)
    if(names_text MATCHES "\\)")
      read_names(${names_kind} "${names_text}")
      set(state header)
    endif()
  elseif(stripped MATCHES "^LanguageNames[ \t]*=" OR stripped MATCHES "^MessageIdTypedef[ \t]*="
         OR stripped MATCHES "^OutputBase[ \t]*=" OR stripped MATCHES "^SymbolicName[ \t]*=")
    # Nothing in the compiled-in table depends on these.
  elseif(stripped MATCHES "^MessageId[ \t]*=[ \t]*(.*)$")
    set(value "${CMAKE_MATCH_1}")
    if(value STREQUAL "")
      math(EXPR message_id "${message_id} + 1")
    else()
      math(EXPR message_id "${value}")
    endif()
  elseif(stripped MATCHES "^Severity[ \t]*=[ \t]*([A-Za-z_][A-Za-z0-9_]*)$")
    if(NOT DEFINED severity_${CMAKE_MATCH_1})
      message(FATAL_ERROR "message table: unknown severity ${CMAKE_MATCH_1}")
    endif()
    set(severity ${severity_${CMAKE_MATCH_1}})
  elseif(stripped MATCHES "^Facility[ \t]*=[ \t]*([A-Za-z_][A-Za-z0-9_]*)$")
    if(NOT DEFINED facility_${CMAKE_MATCH_1})
      message(FATAL_ERROR "message table: unknown facility ${CMAKE_MATCH_1}")
    endif()
    set(facility ${facility_${CMAKE_MATCH_1}})
  elseif(stripped MATCHES "^Language[ \t]*=")
    if(message_id LESS 0)
      message(FATAL_ERROR "message table: a text comes before any MessageId")
    endif()
    set(state text)
  else()
    message(FATAL_ERROR "message table: malformed line: ${line}")
  endif()
endforeach()

if(state STREQUAL "text")
  message(FATAL_ERROR "message table: the last message has no closing period line")
endif()

set(content "// Generated from messages.mc; edit that file instead.\n#include \"resources/message_table.h\"\n\nnamespace qv {\n\nconst MESSAGE_TABLE_ENTRY ProgramMessageTable[] = {\n${body}    {0, nullptr},\n};\n\n}  // namespace qv\n")
file(WRITE "${OUTPUT}.tmp" "${content}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
