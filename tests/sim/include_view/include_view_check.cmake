# cmake -DCXX=... -DVIEW=... -DSOURCE_DIR=... -DSCRATCH=... -DTARGET_INCLUDES=... -P include_view_check.cmake

# What one translation unit that includes `header` makes of the view:
# sets `compiled` and the compiler's words in `said`.
function(compile_through_view header)
  file(WRITE ${SCRATCH}/include_view.cpp "#include \"${header}\"\nint main() { return 0; }\n")
  execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -I${VIEW} ${SCRATCH}/include_view.cpp
                  RESULT_VARIABLE status ERROR_VARIABLE error OUTPUT_VARIABLE output)
  if(status EQUAL 0)
    set(compiled TRUE PARENT_SCOPE)
  else()
    set(compiled FALSE PARENT_SCOPE)
  endif()
  set(said "${output}${error}" PARENT_SCOPE)
endfunction()

# The view is the first include folder of a virtual-board target.
string(REPLACE "|" ";" VIEW "${VIEW}")
list(GET VIEW 0 VIEW)
set(failures "")

foreach(shared hw/registers.h hw/soc.h hw/memory_region.h hw/uio.h ndi/ndi_lib.h base/board_root.h
               base/file_descriptor.h base/owned_file.h sim/fpga/fpga.h)
  compile_through_view(${shared})
  if(NOT compiled)
    string(APPEND failures "${shared} does not compile through ${VIEW}:\n${said}" "\n")
  endif()
endforeach()

foreach(product hw/hardware.h hw/uio_handle.h base/debug_log.h ndi/network_send.h video/video_capture.h
                app/options.h)
  if(NOT EXISTS ${SOURCE_DIR}/${product})
    continue()   # a header that moved: nothing to show with it
  endif()
  compile_through_view(${product})
  if(compiled OR NOT said MATCHES "(${product}: No such file|'${product}' file not found)")
    string(APPEND failures "the program's ${product} is within reach of the virtual board:\n${said}" "\n")
  endif()
endforeach()

# Each target's include folders: the view, or outside the source tree
# (FFmpeg's, the system's).
string(REPLACE "," ";" targets "${TARGET_INCLUDES}")
foreach(entry IN LISTS targets)
  string(REGEX MATCH "^[^=]*" target "${entry}")
  string(REGEX REPLACE "^[^=]*=" "" folders "${entry}")
  string(REPLACE "|" ";" folders "${folders}")
  foreach(folder IN LISTS folders)
    if(folder STREQUAL "" OR folder STREQUAL VIEW)
      continue()
    endif()
    cmake_path(IS_PREFIX SOURCE_DIR "${folder}" NORMALIZE inside)
    if(inside)
      string(APPEND failures "${target} includes ${folder}, past the virtual board's view ${VIEW}" "\n")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "checked ${VIEW} and the include folders of: ${TARGET_INCLUDES}")
