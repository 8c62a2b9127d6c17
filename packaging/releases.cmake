# Writes the AppStream metainfo's release list and the package's Debian changelog from the
# tool's release notes, so the package and the Version History dialog tell the same story.
#
#   cmake -DNOTES=history.txt -DTEMPLATE=metainfo.xml.in -DOUTPUT=out.metainfo.xml
#         -DCHANGELOG=changelog -DPACKAGE=name -DMAINTAINER="Name <address>"
#         [-DZARVO_...=value ...] -P releases.cmake
#
# The notes: a title line, then entries of a heading "MMmm[ label] (MM/DD/YYYY)" followed by
# lines "- text", entries separated by empty lines, newest first. Anything else stops the build
# with the file, line and reason.
cmake_minimum_required(VERSION 3.25)

function(fail line_no reason)
  message(FATAL_ERROR "${NOTES}:${line_no}: ${reason}")
endfunction()

# The date as a Debian changelog gives it, "Fri, 26 Mar 2010 00:00:00 +0000" (the notes have
# no time of day).
function(changelog_date year month day out)
  set(names Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4) # Sakamoto's day-of-week method
  math(EXPR m "${month} - 1")
  math(EXPR y "${year}")
  if(m LESS 2)
    math(EXPR y "${y} - 1")
  endif()
  list(GET offsets ${m} offset)
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  list(GET names ${weekday} weekday)
  list(GET months ${m} month_name)
  set(${out} "${weekday}, ${day} ${month_name} ${year} 00:00:00 +0000" PARENT_SCOPE)
endfunction()

macro(close_release)
  if(items)
    string(APPEND releases "        </ul>\n      </description>\n")
  else()
    string(APPEND changes "  * Release ${release_version}.\n")
  endif()
  string(APPEND releases "    </release>\n")
  string(APPEND changes "\n -- ${MAINTAINER}  ${stamp}\n\n")
endmacro()

file(READ "${NOTES}" text)
string(REPLACE "\r" "" text "${text}")
string(REGEX REPLACE "\n$" "" text "${text}")
# The text becomes a list of lines, and a CMake list is not split at a ';' escaped by a
# backslash or inside square brackets: those four characters stand aside as control
# characters until each line is read.
string(ASCII 1 backslash_mark)
string(ASCII 2 semicolon_mark)
string(ASCII 3 open_mark)
string(ASCII 4 close_mark)
string(REPLACE "\\" "${backslash_mark}" text "${text}")
string(REPLACE ";" "${semicolon_mark}" text "${text}")
string(REPLACE "[" "${open_mark}" text "${text}")
string(REPLACE "]" "${close_mark}" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(releases "")
set(changes "")
set(open FALSE)  # inside a release
set(items FALSE) # the open release has items, in a list not yet closed
set(previous "") # date of the release above, to keep the order newest first
set(line_no 0)
foreach(line IN LISTS lines)
  string(REPLACE "${backslash_mark}" "\\" line "${line}")
  string(REPLACE "${semicolon_mark}" ";" line "${line}")
  string(REPLACE "${open_mark}" "[" line "${line}")
  string(REPLACE "${close_mark}" "]" line "${line}")
  math(EXPR line_no "${line_no} + 1")
  if(line_no EQUAL 1)
    continue() # the title
  endif()
  if(line STREQUAL "")
    continue()
  elseif(line MATCHES "^([0-9][0-9])([0-9][0-9])( [^ ()]+)? \\(([0-9][0-9])/([0-9][0-9])/([0-9][0-9][0-9][0-9])\\)$")
    math(EXPR major "${CMAKE_MATCH_1}") # drops a leading zero: "0919" is 9.19
    set(version "${major}.${CMAKE_MATCH_2}")
    set(year ${CMAKE_MATCH_6})
    set(month ${CMAKE_MATCH_4})
    set(day ${CMAKE_MATCH_5})
    set(date "${year}-${month}-${day}")
    if(month LESS 1 OR month GREATER 12 OR day LESS 1 OR day GREATER 31)
      fail(${line_no} "no such date: ${line}")
    endif()
    if(previous AND date STRGREATER previous)
      fail(${line_no} "release ${version} is newer than the one above it; newest first")
    endif()
    if(open)
      close_release()
    endif()
    set(release_version ${version})
    changelog_date(${year} ${month} ${day} stamp)
    string(APPEND releases "    <release version=\"${version}\" date=\"${date}\">\n")
    string(APPEND changes "${PACKAGE} (${version}) stable; urgency=medium\n\n")
    set(open TRUE)
    set(items FALSE)
    set(previous "${date}")
  elseif(line MATCHES "^- (.+)$" AND open)
    if(NOT items)
      string(APPEND releases "      <description>\n        <ul>\n")
      set(items TRUE)
    endif()
    set(item "${CMAKE_MATCH_1}")
    string(REPLACE "&" "&amp;" xml "${item}")
    string(REPLACE "<" "&lt;" xml "${xml}")
    string(REPLACE ">" "&gt;" xml "${xml}")
    string(APPEND releases "          <li>${xml}</li>\n")
    string(APPEND changes "  * ${item}\n")
  else()
    fail(${line_no} "neither a release heading \"MMmm (MM/DD/YYYY)\" nor a \"- \" line: ${line}")
  endif()
endforeach()
if(NOT open)
  fail(${line_no} "no release")
endif()
close_release()
string(REGEX REPLACE "\n$" "" ZARVO_RELEASES "${releases}")
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)

string(REGEX REPLACE "\n\n$" "\n" changes "${changes}")
file(WRITE "${CHANGELOG}" "${changes}")
