# OpenImageIO, found once for the whole build: the telvix command's image I/O and the tests that
# read and write golden images all link the imported target Telvix::OpenImageIO.
#
# The library's own package config is preferred; where it is missing, pkg-config's.
if(TARGET Telvix::OpenImageIO)
    set(TelvixOIIO_FOUND TRUE)
    return()
endif()

find_package(OpenImageIO CONFIG QUIET)
if(OpenImageIO_FOUND)
    # Debian's package config names include folders of optional dependencies (OpenCV) that may
    # not be installed; CMake refuses such a target, so keep only the folders that exist.
    get_target_property(_oiio_includes OpenImageIO::OpenImageIO INTERFACE_INCLUDE_DIRECTORIES)
    set(_oiio_existing)
    foreach(_dir IN LISTS _oiio_includes)
        if(EXISTS "${_dir}")
            list(APPEND _oiio_existing "${_dir}")
        endif()
    endforeach()
    set_target_properties(OpenImageIO::OpenImageIO PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${_oiio_existing}")
    set(_oiio_target OpenImageIO::OpenImageIO)
    set(TelvixOIIO_VERSION ${OpenImageIO_VERSION})
else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(TELVIX_OIIO REQUIRED IMPORTED_TARGET GLOBAL OpenImageIO)
    set(_oiio_target PkgConfig::TELVIX_OIIO)
    set(TelvixOIIO_VERSION ${TELVIX_OIIO_VERSION})
endif()

add_library(Telvix::OpenImageIO INTERFACE IMPORTED GLOBAL)
target_link_libraries(Telvix::OpenImageIO INTERFACE ${_oiio_target})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(TelvixOIIO REQUIRED_VARS _oiio_target
                                  VERSION_VAR TelvixOIIO_VERSION)
