# Writes the AppStream metainfo with its release list taken from the tool's release notes, so
# the package and the Version History dialog tell the same story.
#
#   cmake -DNOTES=history.txt -DTEMPLATE=metainfo.xml.in -DOUTPUT=out.xml
#         [-DZARVO_...=value ...] -P releases.cmake
#
# The notes: a title line, then entries of a heading "MMmm[ label] (MM/DD/YYYY)" followed by
# lines "- text", entries separated by empty lines, newest first. Anything else stops the build
# with the file, line and reason.
cmake_minimum_required(VERSION 3.25)

function(fail line_no reason)
  message(FATAL_ERROR "${NOTES}:${line_no}: ${reason}")
endfunction()

macro(close_release)
  if(items)
    string(APPEND releases "        </ul>\n      </description>\n")
  endif()
  string(APPEND releases "    </release>\n")
endmacro()

file(READ "${NOTES}" text)
# The notes are plain text: XML's special characters are escaped, and CMake's list
# separator is kept out of the way while the text is split into lines.
string(REPLACE "&" "&amp;" text "${text}")
string(REPLACE "<" "&lt;" text "${text}")
string(REPLACE ">" "&gt;" text "${text}")
string(REPLACE "\r" "" text "${text}")
string(REPLACE ";" "&#59;" text "${text}")
string(REGEX REPLACE "\n$" "" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(releases "")
set(open FALSE)  # inside a release
set(items FALSE) # the open release has items, in a list not yet closed
set(previous "") # date of the release above, to keep the order newest first
set(line_no 0)
foreach(line IN LISTS lines)
  math(EXPR line_no "${line_no} + 1")
  if(line_no EQUAL 1)
    continue() # the title
  endif()
  if(line STREQUAL "")
    continue()
  elseif(line MATCHES "^([0-9][0-9])([0-9][0-9])( [^ ()]+)? \\(([0-9][0-9])/([0-9][0-9])/([0-9][0-9][0-9][0-9])\\)$")
    math(EXPR major "${CMAKE_MATCH_1}") # drops a leading zero: "0919" is 9.19
    set(version "${major}.${CMAKE_MATCH_2}")
    set(date "${CMAKE_MATCH_6}-${CMAKE_MATCH_4}-${CMAKE_MATCH_5}")
    if(CMAKE_MATCH_4 LESS 1 OR CMAKE_MATCH_4 GREATER 12 OR CMAKE_MATCH_5 LESS 1
       OR CMAKE_MATCH_5 GREATER 31)
      fail(${line_no} "no such date: ${line}")
    endif()
    if(previous AND date STRGREATER previous)
      fail(${line_no} "release ${version} is newer than the one above it; newest first")
    endif()
    if(open)
      close_release()
    endif()
    string(APPEND releases "    <release version=\"${version}\" date=\"${date}\">\n")
    set(open TRUE)
    set(items FALSE)
    set(previous "${date}")
  elseif(line MATCHES "^- (.+)$" AND open)
    if(NOT items)
      string(APPEND releases "      <description>\n        <ul>\n")
      set(items TRUE)
    endif()
    string(APPEND releases "          <li>${CMAKE_MATCH_1}</li>\n")
  else()
    fail(${line_no} "neither a release heading \"MMmm (MM/DD/YYYY)\" nor a \"- \" line: ${line}")
  endif()
endforeach()
if(NOT open)
  fail(${line_no} "no release")
endif()
close_release()
string(REGEX REPLACE "\n$" "" releases "${releases}")
string(REPLACE "&#59;" ";" ZARVO_RELEASES "${releases}")
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
