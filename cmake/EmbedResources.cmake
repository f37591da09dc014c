# Turns files into a C++ source of byte arrays, run at build time:
#   cmake -DOUTPUT=<file.cpp> -DRESOURCES="TYPE/NAME=path;..." -P EmbedResources.cmake
# The source defines resources::kCarried (resources/carried.h). Each array
# ends in a NUL that its size does not count, so text can be read as text.
set(body "")
set(table "")
set(index 0)
foreach(entry IN LISTS RESOURCES)
  string(REGEX MATCH "^([^/=]+)/([^=]+)=(.+)$" matched "${entry}")
  if(NOT matched)
    message(FATAL_ERROR "resource entry '${entry}' is not TYPE/NAME=path")
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  set(path "${CMAKE_MATCH_3}")
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){24})" "\\1\n    " bytes "${bytes}")
  string(APPEND body "const unsigned char kData${index}[] = {\n    ${bytes}0x00};\n")
  string(APPEND table "    {\"${type}\", \"${name}\", kData${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}"
"// Made by cmake/EmbedResources.cmake from the files in resources/; not edited by hand.
#include \"resources/carried.h\"

namespace resources {

namespace {
${body}}  // namespace

const CarriedResource kCarried[] = {
${table}};
const std::size_t kCarriedCount = ${index};

}  // namespace resources
")
