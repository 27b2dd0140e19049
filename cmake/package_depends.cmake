# Read by cpack (CPACK_PROJECT_CONFIG_FILE) for the board's package: states
# the C and C++ runtime the program needs, from the symbol versions it was
# linked against (PROGRAM, read with OBJDUMP): libc6 from the newest GLIBC_
# version it calls, libstdc++6 from the newest GLIBCXX_ version (the GCC
# release that brought it; the compiler's own when the table does not know
# it), and libgcc-s1 when it needs the unwinder.
execute_process(COMMAND ${OBJDUMP} -T ${PROGRAM} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read the symbols of ${PROGRAM}")
endif()

function(newest_version variable prefix)
  string(REGEX MATCHALL "\\(${prefix}_[0-9.]+\\)" found "${symbols}")
  list(TRANSFORM found REPLACE "^\\(${prefix}_([0-9.]+)\\)$" "\\1")
  list(REMOVE_DUPLICATES found)
  list(SORT found COMPARE NATURAL ORDER DESCENDING)
  list(GET found 0 newest)
  set(${variable} ${newest} PARENT_SCOPE)
endfunction()

newest_version(glibc GLIBC)
newest_version(glibcxx GLIBCXX)
set(gcc_of_glibcxx 3.4.32=13 3.4.31=13 3.4.30=12 3.4.29=11 3.4.28=10 3.4.26=9 3.4.25=8 3.4.24=7 3.4.22=6 3.4.21=5)
set(gcc ${COMPILER_MAJOR})
foreach(pair IN LISTS gcc_of_glibcxx)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 version)
  if(version STREQUAL glibcxx)
    list(GET pair 1 gcc)
  endif()
endforeach()
# ndi-encoder-web serves HTTP with libmicrohttpd.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${glibc}), libstdc++6 (>= ${gcc}), libmicrohttpd12")
if(symbols MATCHES "\\(GCC_[0-9.]+\\)")
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libgcc-s1")
endif()
