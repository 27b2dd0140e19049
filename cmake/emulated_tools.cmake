# Programs of another processor, run by an emulator (qemu-user), without
# binfmt: the machine cannot start them by their path. CTest starts test
# executables through CMAKE_CROSSCOMPILING_EMULATOR itself; everything that
# starts a program by name or path (virtual-board, the whole-process tests,
# a test that spawns ndi-monitor) finds a small wrapper in bin/ that hands
# the real program, kept in bin/TRIPLET/, to the emulator.

# The path by which a tool is started: its wrapper when emulated, the program
# itself otherwise. Usable before the tool's target is made.
function(tool_launch_path variable target)
  if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR AND NDI_ENCODER_SIM)
    set(${variable} ${CMAKE_BINARY_DIR}/bin/${target} PARENT_SCOPE)
  else()
    set(${variable} $<TARGET_FILE:${target}> PARENT_SCOPE)
  endif()
endfunction()

function(collect_executables directory variable)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  set(found)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${t})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(d IN LISTS subdirectories)
    collect_executables(${d} below)
    list(APPEND found ${below})
  endforeach()
  set(${variable} ${found} PARENT_SCOPE)
endfunction()

# Moves every program built into bin/ to bin/TRIPLET/ and writes its wrapper
# in bin/ (the virtual board's build: a board build has no tools). Called
# once every target is made.
function(wrap_emulated_tools)
  if(NOT (CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR AND NDI_ENCODER_SIM))
    return()
  endif()
  set(bin ${CMAKE_BINARY_DIR}/bin)
  set(target_bin ${bin}/${CMAKE_LIBRARY_ARCHITECTURE})
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  collect_executables(${CMAKE_SOURCE_DIR} programs)
  foreach(t IN LISTS programs)
    get_target_property(output ${t} RUNTIME_OUTPUT_DIRECTORY)
    if(NOT output STREQUAL bin)
      continue()
    endif()
    set_target_properties(${t} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${target_bin})
    file(GENERATE OUTPUT ${bin}/$<TARGET_FILE_NAME:${t}>
         CONTENT "#!/bin/sh\n# $<TARGET_FILE_NAME:${t}> for ${CMAKE_LIBRARY_ARCHITECTURE}, through the emulator\nexec ${emulator} $<TARGET_FILE:${t}> \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
endfunction()
