# package-aex: the release zip, Telvix-<version>-win64.zip in the build folder, holding
# Telvix/Telvix.aex and Telvix/INSTALL.txt.
set(TELVIX_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
set(TELVIX_PACKAGE_ZIP ${CMAKE_BINARY_DIR}/Telvix-${PROJECT_VERSION}-win64.zip)
configure_file(${CMAKE_SOURCE_DIR}/frontends/ae/resources/INSTALL.txt ${CMAKE_BINARY_DIR}/INSTALL.txt
    @ONLY NEWLINE_STYLE CRLF)
add_custom_command(OUTPUT ${TELVIX_PACKAGE_ZIP}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${TELVIX_PACKAGE_DIR} ${TELVIX_PACKAGE_ZIP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TELVIX_PACKAGE_DIR}/Telvix
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Telvix> ${CMAKE_BINARY_DIR}/INSTALL.txt
        ${TELVIX_PACKAGE_DIR}/Telvix/
    COMMAND ${CMAKE_COMMAND} -E chdir ${TELVIX_PACKAGE_DIR}
        ${CMAKE_COMMAND} -E tar cf ${TELVIX_PACKAGE_ZIP} --format=zip Telvix
    DEPENDS Telvix ${CMAKE_BINARY_DIR}/INSTALL.txt
    COMMENT "Packing ${TELVIX_PACKAGE_ZIP}"
    VERBATIM)
add_custom_target(package-aex DEPENDS ${TELVIX_PACKAGE_ZIP})

# package-ofx: Telvix-<version>-ofx-win64.zip, holding Telvix.ofx.bundle as it is unpacked into
# C:\Program Files\Common Files\OFX\Plugins.
if(TARGET telvix_ofx)
    set(TELVIX_OFX_ZIP ${CMAKE_BINARY_DIR}/Telvix-${PROJECT_VERSION}-ofx-win64.zip)
    add_custom_command(OUTPUT ${TELVIX_OFX_ZIP}
        COMMAND ${CMAKE_COMMAND} -E rm -f ${TELVIX_OFX_ZIP}
        COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}
            ${CMAKE_COMMAND} -E tar cf ${TELVIX_OFX_ZIP} --format=zip Telvix.ofx.bundle
        DEPENDS telvix_ofx
        COMMENT "Packing ${TELVIX_OFX_ZIP}"
        VERBATIM)
    add_custom_target(package-ofx DEPENDS ${TELVIX_OFX_ZIP})
endif()
