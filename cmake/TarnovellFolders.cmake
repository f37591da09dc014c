# Every source folder is one static library: the .cpp files of that folder
# alone (not of its subfolders), linked against the folders it may use. A
# folder that reaches into one it did not name fails to link, so the layering
# below is kept by the build, not by goodwill.
#
#   tarnovell_folder(<target> <folder> [DEPENDS <target>...] [LIBRARIES <lib>...]
#                    [EXCLUDE <file>...])
include(TarnovellIncludeCheck)

function(tarnovell_folder target folder)
  cmake_parse_arguments(ARG "" "" "DEPENDS;LIBRARIES;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*.h)
  foreach(excluded ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_SOURCE_DIR}/${folder}/${excluded})
  endforeach()
  add_library(${target} STATIC ${sources})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX)
  # Headers are named from the top of the tree ("platform/device/path.h"),
  # for the folder and for every target that links it.
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${ARG_DEPENDS} ${ARG_LIBRARIES})
  tarnovell_register_folder(${target} ${folder} DEPENDS ${ARG_DEPENDS} EXCLUDE ${ARG_EXCLUDE})
endfunction()
