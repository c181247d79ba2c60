# cmake -DRC=<script.rc> -DMC=<out.mc> -P MessageTable.cmake
#
# Writes the message table that a resource script holds inline (the form
# w32rc compiles: MESSAGETABLE, BEGIN, lines of id, "text", END) as a
# message-compiler source, from which windmc makes the binary that Windows
# resource compilers take. Each text's bytes are kept: a line break inside
# or at the end of a text is a carriage return ending the line, a text
# without one at its end ends in "%0"; other escapes are refused. The texts
# reach the binary byte for byte (windmc -A keeps them as written).
file(STRINGS ${RC} lines)
set(inside OFF)
set(out "")
set(count 0)
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "MESSAGETABLE")
    set(inside ON)
  elseif(inside AND line STREQUAL "END")
    break()
  elseif(inside AND line MATCHES "^([0-9]+)[ \t]*,[ \t]*\"(.*)\"$")
    set(id ${CMAKE_MATCH_1})
    set(text "${CMAKE_MATCH_2}")
    if(text MATCHES "\\\\[^rn]" OR text MATCHES "\\\\r[^\\\\]" OR text MATCHES "\\\\r$" OR text MATCHES "(^|[^r])\\\\n")
      message(FATAL_ERROR "${RC}: message ${id}: only \\r\\n line breaks can be carried to the message compiler")
    endif()
    if(text MATCHES "\\\\r\\\\n$")
      string(REGEX REPLACE "\\\\r\\\\n$" "\r" text "${text}")
    else()
      string(APPEND text "%0")
    endif()
    string(REPLACE "\\r\\n" "\r\n" text "${text}")
    string(APPEND out "MessageId=${id}\nLanguage=English\n${text}\n.\n\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${RC}: no inline message table found")
endif()
file(WRITE ${MC} "${out}")
