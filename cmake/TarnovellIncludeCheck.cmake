# Every #include "folder/name.h" of a folder's sources must name a header of
# that folder or of a folder its target links, directly or through others:
# the include lines follow the same layering the link keeps. Called once all
# folders are declared; a stray include fails the configuration, naming the
# file, the line and the folder it may not reach.
#
# A folder is what tarnovell_folder() declared (or tarnovell_register_folder()
# for a library made another way); includes of anything else (Qt, the
# system, generated files, files of the same folder) are not looked at.

#   tarnovell_register_folder(<target> <folder> [DEPENDS <target>...] [EXCLUDE <file>...])
# DEPENDS: the targets of ours it links, as the Layout tables (docs/layout.md) list
# them; EXCLUDE: files of the folder that belong to another target.
function(tarnovell_register_folder target folder)
  cmake_parse_arguments(ARG "" "" "DEPENDS;EXCLUDE" ${ARGN})
  string(MAKE_C_IDENTIFIER "${folder}" key)
  set_property(GLOBAL APPEND PROPERTY TARNOVELL_FOLDERS "${folder}")
  set_property(GLOBAL PROPERTY "TARNOVELL_FOLDER_${key}" "${target}")
  set_property(GLOBAL PROPERTY "TARNOVELL_FOLDER_DEPENDS_${key}" "${ARG_DEPENDS}")
  set_property(GLOBAL PROPERTY "TARNOVELL_FOLDER_EXCLUDED_${key}" "${ARG_EXCLUDE}")
endfunction()

# Writes every declared folder to `file`, one line each: the folder, a tab,
# its target, a tab, its DEPENDS separated by spaces. The Layout tables of
# docs/layout.md are checked against it (tests/scripts/check_layout.sh), so they
# say what the build declares. The file changes only when the list does.
function(tarnovell_write_folder_list file)
  get_property(folders GLOBAL PROPERTY TARNOVELL_FOLDERS)
  set(text "")
  foreach(folder IN LISTS folders)
    string(MAKE_C_IDENTIFIER "${folder}" key)
    get_property(target GLOBAL PROPERTY "TARNOVELL_FOLDER_${key}")
    get_property(depends GLOBAL PROPERTY "TARNOVELL_FOLDER_DEPENDS_${key}")
    list(JOIN depends " " depends)
    string(APPEND text "${folder}\t${target}\t${depends}\n")
  endforeach()
  file(CONFIGURE OUTPUT "${file}" CONTENT "${text}" @ONLY)
endfunction()

# The targets `target` links, itself among them, as far as they go.
function(_tarnovell_reach target out)
  set(seen "")
  set(queue "${target}")
  while(queue)
    list(POP_FRONT queue current)
    if(NOT TARGET "${current}" OR current IN_LIST seen)
      continue()
    endif()
    list(APPEND seen "${current}")
    get_target_property(type "${current}" TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links "${current}" INTERFACE_LINK_LIBRARIES)
    else()
      get_target_property(links "${current}" LINK_LIBRARIES)
    endif()
    if(links)
      list(APPEND queue ${links})
    endif()
  endwhile()
  set(${out} "${seen}" PARENT_SCOPE)
endfunction()

# `level`: FATAL_ERROR, or WARNING to list what would fail.
function(tarnovell_check_includes level)
  get_property(folders GLOBAL PROPERTY TARNOVELL_FOLDERS)
  set(failures "")
  foreach(folder IN LISTS folders)
    string(MAKE_C_IDENTIFIER "${folder}" key)
    get_property(target GLOBAL PROPERTY "TARNOVELL_FOLDER_${key}")
    _tarnovell_reach("${target}" reach)
    file(GLOB sources ${CMAKE_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*.h)
    get_property(excluded GLOBAL PROPERTY "TARNOVELL_FOLDER_EXCLUDED_${key}")
    foreach(file IN LISTS excluded)
      list(REMOVE_ITEM sources ${CMAKE_SOURCE_DIR}/${folder}/${file})
    endforeach()
    foreach(source IN LISTS sources)
      file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
      foreach(line IN LISTS lines)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" header "${line}")
        get_filename_component(header_folder "${header}" DIRECTORY)
        if(header_folder STREQUAL "" OR header_folder STREQUAL folder)
          continue()
        endif()
        string(MAKE_C_IDENTIFIER "${header_folder}" header_key)
        get_property(header_target GLOBAL PROPERTY "TARNOVELL_FOLDER_${header_key}")
        if(NOT header_target OR header_target IN_LIST reach)
          continue()
        endif()
        file(RELATIVE_PATH shown "${CMAKE_SOURCE_DIR}" "${source}")
        list(APPEND failures "${shown}: #include \"${header}\": ${target} does not link ${header_target}")
      endforeach()
    endforeach()
  endforeach()
  if(failures)
    list(JOIN failures "\n  " text)
    message(${level} "Includes that reach past their folder's links:\n  ${text}\n"
                        "Include only headers of the folders a target links (its DEPENDS), or link the folder.")
  endif()
endfunction()
