# Installing the telvix command with the plug-in it loads, and a Debian package of both.
#
#   cmake --install <build> --prefix <root>    bin/telvix, lib/telvix/Telvix.so
#   cpack --config <build>/CPackConfig.cmake   telvix_<version>_<arch>.deb (installs to /usr)
#
# The command finds the plug-in in ../lib/telvix relative to itself, so the installed tree works
# wherever it is unpacked.
if(TARGET telvix)
    install(TARGETS telvix RUNTIME DESTINATION bin)
endif()
install(TARGETS Telvix LIBRARY DESTINATION lib/telvix)

# The Windows plug-in is cross-built in a build of its own; name the built file to ship it too.
set(TELVIX_WINDOWS_PLUGIN "" CACHE FILEPATH "A built Telvix.aex to install as share/telvix/Telvix.aex")
if(TELVIX_WINDOWS_PLUGIN)
    install(FILES ${TELVIX_WINDOWS_PLUGIN} DESTINATION share/telvix RENAME Telvix.aex)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/command.md)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/command.md DESTINATION share/doc/telvix)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME telvix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Telvix")
set(CPACK_PACKAGE_CONTACT "Telvix developers <developers@telvix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Smooths the jagged outlines of cel-animation frames (command and effect plug-in)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# The runtime libraries (OpenImageIO, oneTBB, fmt, the C++ runtime) become dependencies as
# dpkg-shlibdeps finds them in the installed binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
