# Installation (cmake --install) and the .deb packages (cpack -G DEB).
#
# The board's package, ndi-encoder (armhf, arm64): /usr/bin/ndi-encoder, its
# systemd unit, an init script for boards without systemd, and the options
# file both read. It links the board's own libuio.so.2 and libndi.so.5,
# which no Debian package provides: they are named in the description, not
# in Depends, and the link-only stand-ins of the build are never installed.
#
# The virtual board's package, ndi-encoder-virtual-board (the machine's own
# architecture): the program, the stand-in libraries and the tools in
# /usr/lib/ndi-encoder-virtual-board, and virtual-board in /usr/bin.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A reserved domain (RFC 2606) until the appliance maker's own address is
# written here; package/changelog and package/copyright name it too.
set(CPACK_PACKAGE_CONTACT "NDI encoder maintainers <maintainers@ndi-encoder.example>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The target's Debian architecture: armhf, arm64 or the machine's own.
if(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^arm-linux-gnueabihf")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^aarch64-linux-gnu")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^x86_64-linux-gnu")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()

if(NOT NDI_ENCODER_SIM)
  install(TARGETS ndi-encoder RUNTIME DESTINATION bin)
  install(FILES package/ndi-encoder.service DESTINATION lib/systemd/system)
  install(PROGRAMS package/ndi-encoder.init DESTINATION /etc/init.d RENAME ndi-encoder)
  install(FILES package/ndi-encoder.default DESTINATION /etc/default RENAME ndi-encoder)
  # What a Debian package carries besides: the manual page and the changelog
  # compressed reproducibly (gzip -9n), the copyright file and the lintian
  # overrides, each warning kept with its reason (scripts/build-target runs
  # lintian).
  set(compressed ${CMAKE_BINARY_DIR}/package)
  foreach(file ndi-encoder.8 ndi-encoder-web.8 changelog)
    add_custom_command(OUTPUT ${compressed}/${file}.gz
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${compressed}
                       COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/package/${file} ${compressed}/${file}
                       COMMAND gzip -9nf ${compressed}/${file}
                       DEPENDS ${CMAKE_SOURCE_DIR}/package/${file} VERBATIM)
  endforeach()
  add_custom_target(package_documents ALL DEPENDS ${compressed}/ndi-encoder.8.gz ${compressed}/ndi-encoder-web.8.gz
                                                 ${compressed}/changelog.gz)
  install(FILES ${compressed}/ndi-encoder.8.gz ${compressed}/ndi-encoder-web.8.gz DESTINATION share/man/man8)
  install(FILES ${compressed}/changelog.gz package/copyright DESTINATION share/doc/ndi-encoder)
  install(FILES package/ndi-encoder.lintian-overrides DESTINATION share/lintian/overrides RENAME ndi-encoder)
  # The web control page, the program's supervisor.
  install(TARGETS ndi-encoder-web RUNTIME DESTINATION bin)
  install(FILES package/ndi-encoder-web.service DESTINATION lib/systemd/system)
  install(PROGRAMS package/ndi-encoder-web.init DESTINATION /etc/init.d RENAME ndi-encoder-web)
  install(FILES package/ndi-encoder-web.tmpfiles DESTINATION lib/tmpfiles.d RENAME ndi-encoder-web.conf)

  set(CPACK_PACKAGE_NAME ndi-encoder)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "NDI encoder appliance: the resident program
Finds the FPGA cores through userspace-I/O, paces them and publishes one NDI
source, PTZ, with compressed video, audio and camera control. Runs as the
service ndi-encoder (systemd, or /etc/init.d on boards without it) with the
options of /etc/default/ndi-encoder, supervised by its web control page,
ndi-encoder-web (http://<eth0 address>/).

It needs the board's own libraries, which no Debian package provides: the
userspace-I/O library libuio.so.2 and the NDI runtime libndi.so.5.")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_SOURCE_DIR}/package/postinst ${CMAKE_SOURCE_DIR}/package/prerm
      ${CMAKE_SOURCE_DIR}/package/postrm ${CMAKE_SOURCE_DIR}/package/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Depends comes from the built program's symbol versions, when cpack runs
  # (cmake/package_depends.cmake).
  string(REGEX MATCH "^[0-9]+" compiler_major ${CMAKE_CXX_COMPILER_VERSION})
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package-depends.cmake CONTENT
"set(PROGRAM \"$<TARGET_FILE:ndi-encoder>\")
set(OBJDUMP \"${CMAKE_OBJDUMP}\")
set(COMPILER_MAJOR ${compiler_major})
include(\"${CMAKE_SOURCE_DIR}/cmake/package_depends.cmake\")
")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package-depends.cmake)
else()
  set(private lib/ndi-encoder-virtual-board)
  set(tools ndi-encoder ndi-encoder-web virtual-board-root virtual-camera ndi-monitor)
  set_target_properties(${tools} uio ndi PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${tools} RUNTIME DESTINATION ${private})
  install(TARGETS uio ndi LIBRARY DESTINATION ${private} NAMELINK_SKIP)
  # The launcher finds its tools beside itself, wherever the prefix is.
  set(VIRTUAL_BOARD_BIN_DIR "$(cd \"$(dirname \"$0\")/../${private}\" && pwd)")
  configure_file(sim/virtual-board.in ${CMAKE_BINARY_DIR}/install/virtual-board @ONLY)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/install/virtual-board DESTINATION bin)

  set(CPACK_PACKAGE_NAME ndi-encoder-virtual-board)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "NDI encoder appliance on a virtual board
The appliance's program with stand-ins for the board's libraries (a virtual
FPGA and an NDI-style sender), the VISCA camera and the receiver that
records it, run by virtual-board in network namespaces of their own.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/sim ${CMAKE_BINARY_DIR}/sim/ndi)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "iproute2, util-linux")
endif()

include(CPack)
