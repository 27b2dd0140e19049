# The program is built as layers whose dependencies run downward only:
#
#   app                   main, options, the control pipe
#   video  audio  ptz     the media paths (they may use ndi, hw and base)
#   ndi                   the NDI sender
#   hw                    hardware access
#   base                  debug log, utilities, the bounded queue, descriptors,
#                         interface queries, printf into strings
#
# Every layer compiles against an include view of its own: a folder in the
# build tree holding links to its own source folder and to those of the
# layers below it, and nothing else. An include that runs upward or sideways
# names a folder the view does not hold, and the compiler stops there.

# product_layer(NAME FOLDER SOURCES... [DEPENDS layers...] [LINK libraries...])
function(product_layer name folder)
  cmake_parse_arguments(PARSE_ARGV 2 layer "" "" "SOURCES;DEPENDS;LINK")
  set(folders ${folder})
  foreach(below IN LISTS layer_DEPENDS)
    get_target_property(below_folders ${below} PRODUCT_LAYER_FOLDERS)
    if(NOT below_folders)
      message(FATAL_ERROR "layer ${name}: ${below} is not a layer made before it")
    endif()
    list(APPEND folders ${below_folders})
  endforeach()
  list(REMOVE_DUPLICATES folders)

  set(view ${CMAKE_BINARY_DIR}/layers/${name})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view})
  foreach(f IN LISTS folders)
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${f} ${view}/${f} SYMBOLIC)
  endforeach()

  add_library(${name} STATIC ${layer_SOURCES})
  set_target_properties(${name} PROPERTIES PRODUCT_LAYER_FOLDERS "${folders}")
  target_include_directories(${name} PRIVATE ${view})
  target_link_libraries(${name} PUBLIC ${layer_DEPENDS} ${layer_LINK})
endfunction()
