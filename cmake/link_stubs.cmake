# Link-only stand-ins for the board's platform libraries, for building the
# program for the board on a machine that does not have them.
#
# Each is generated from our own declaration of the library: every function
# the header declares becomes an empty C function of the same name in a
# shared library with the board library's soname, so the program links by
# that soname and nothing more. Their bodies trap: they are never run, never
# installed and never packaged; on the board the real libraries answer.
#
#   link_stub_library(TARGET SONAME_VERSION HEADER)
function(link_stub_library target version header)
  file(READ ${header} text)
  # A declaration starts a line with its return type and ends with the
  # function's name and an opening parenthesis: comments start with // and
  # typedefs and records carry no parenthesis there.
  string(REGEX MATCHALL "\n[A-Za-z_][A-Za-z0-9_ ]*[ *]+[A-Za-z_][A-Za-z0-9_]*\\(" declarations "${text}")
  set(names)
  foreach(d IN LISTS declarations)
    string(REGEX REPLACE ".*[ *]([A-Za-z_][A-Za-z0-9_]*)\\($" "\\1" name "${d}")
    list(APPEND names ${name})
  endforeach()
  list(REMOVE_DUPLICATES names)
  if(NOT names)
    message(FATAL_ERROR "link_stub_library: no function declared in ${header}")
  endif()

  set(source "/* Generated from ${header}: link-only, never run. */\n")
  foreach(name IN LISTS names)
    string(APPEND source "void ${name}(void) { __builtin_trap(); }\n")
  endforeach()
  set(file ${CMAKE_BINARY_DIR}/link-stubs/${target}_stub.c)
  file(CONFIGURE OUTPUT ${file} CONTENT "${source}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})

  add_library(${target} SHARED ${file})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${target}
    SOVERSION ${version}
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/link-stubs)
endfunction()
