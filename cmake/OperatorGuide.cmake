# Cuts the operator's guide out of README.md: the introduction and the sections an operator of the
# window reads, without pictures. A section missing from the README stops the build, so the guide
# cannot quietly lose one.
#   cmake -DREADME=README.md -DOUTPUT=operator_guide.md -P OperatorGuide.cmake
cmake_minimum_required(VERSION 3.20)
set(sections
  "Trying it with the simulated modules"
  "COM ports on Linux"
  "Traffic monitor")

file(READ "${README}" text)
string(FIND "${text}" "\n## " at)
string(SUBSTRING "${text}" 0 ${at} guide)
math(EXPR at "${at} + 1")
string(SUBSTRING "${text}" ${at} -1 rest)
set(found "")
while(NOT "${rest}" STREQUAL "")
  string(FIND "${rest}" "\n## " next)
  if(next EQUAL -1)
    set(section "${rest}")
    set(rest "")
  else()
    string(SUBSTRING "${rest}" 0 ${next} section)
    math(EXPR next "${next} + 1")
    string(SUBSTRING "${rest}" ${next} -1 rest)
  endif()
  string(REGEX MATCH "^## ([^\n]*)" heading "${section}")
  list(FIND sections "${CMAKE_MATCH_1}" index)
  if(NOT index EQUAL -1)
    string(APPEND guide "\n${section}")
    list(APPEND found "${CMAKE_MATCH_1}")
  endif()
endwhile()
foreach(section IN LISTS sections)
  if(NOT section IN_LIST found)
    message(FATAL_ERROR "README.md has no section \"${section}\" for the operator's guide")
  endif()
endforeach()
string(REGEX REPLACE "\n!\\[[^\n]*\n" "\n" guide "${guide}")
file(WRITE "${OUTPUT}" "${guide}")
