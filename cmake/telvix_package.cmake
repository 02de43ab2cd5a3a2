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
