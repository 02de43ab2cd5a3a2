# Installing the telvix command with the plug-in it loads, and a Debian package of both.
#
#   cmake --install <build> --prefix <root>    bin/telvix, lib/telvix/Telvix.so, the Python
#                                              package telvix, OFX/Plugins/Telvix.ofx.bundle
#   cpack --config <build>/CPackConfig.cmake   telvix_<version>_<arch>.deb (installs to /usr)
#
# The command finds its library and the plug-in in ../lib/telvix relative to itself, so the installed tree works
# wherever it is unpacked.
if(TARGET telvix)
    # bin/telvix is a launcher; the command it loads is lib/telvix/telvix-command.so.
    install(TARGETS telvix RUNTIME DESTINATION bin)
    install(TARGETS telvix_command LIBRARY DESTINATION lib/telvix)
endif()
install(TARGETS Telvix LIBRARY DESTINATION lib/telvix)
# The OpenFX bundle goes into OFX/Plugins: /usr/OFX/Plugins, where Linux hosts look, for the
# prefix /usr (the Debian package); other prefixes need OFX_PLUGIN_PATH pointed there.
if(TARGET telvix_ofx)
    install(DIRECTORY ${PROJECT_BINARY_DIR}/Telvix.ofx.bundle DESTINATION OFX/Plugins
            USE_SOURCE_PERMISSIONS)
endif()

# The Python package telvix, where Debian's python3 finds it: /usr/lib/python3/dist-packages
# for the prefix /usr (the Debian package), <prefix>/lib/python3.X/dist-packages for any other
# (/usr/local by default). The prefix is known only when installing, so the folder is chosen
# then. Either way the package finds the plug-in in lib/telvix, three folders up.
if(TARGET telvix_python)
    set(telvix_python_installed "\"$<TARGET_FILE:telvix_python>\"")
    foreach(file IN LISTS TELVIX_PYTHON_FILES)
        string(APPEND telvix_python_installed " \"${TELVIX_PYTHON_PACKAGE_DIR}/${file}\"")
    endforeach()
    install(CODE "
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            set(telvix_site \"\${CMAKE_INSTALL_PREFIX}/lib/python3/dist-packages\")
        else()
            set(telvix_site
                \"\${CMAKE_INSTALL_PREFIX}/lib/python${TELVIX_PYTHON_VERSION}/dist-packages\")
        endif()
        file(INSTALL DESTINATION \"\${telvix_site}/telvix\" TYPE FILE FILES
             ${telvix_python_installed})
    ")
endif()

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
if(TARGET telvix_python)
    # The Python module: the interpreter it was built for and numpy; Dask for shots on a
    # cluster (telvix.cluster) is recommended, not required.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "python3 (>= ${TELVIX_PYTHON_VERSION}), python3 (<< ${TELVIX_PYTHON_NEXT_VERSION}), python3-numpy")
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-distributed")
endif()
include(CPack)
