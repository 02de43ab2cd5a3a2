# Sanitizer builds: the compile and link flags, and the suppressions built into the telvix
# command for what the sanitizers report inside libraries we do not build ourselves.
#
#   TELVIX_SANITIZE          AddressSanitizer and UndefinedBehaviorSanitizer
#   TELVIX_SANITIZE_THREAD   ThreadSanitizer (for the tests labelled tsan)
#
# Programs that need the suppressions link telvix_sanitizer_suppressions: an interface library
# that adds the matching suppression source (lsan_suppressions.cpp or tsan_suppressions.cpp,
# beside this file) to them, and nothing in other builds.
option(TELVIX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TELVIX_SANITIZE_THREAD "Build with ThreadSanitizer (for the tests labelled tsan)" OFF)

if(TELVIX_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
if(TELVIX_SANITIZE_THREAD)
    if(TELVIX_SANITIZE)
        message(FATAL_ERROR "ThreadSanitizer cannot be combined with TELVIX_SANITIZE")
    endif()
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

add_library(telvix_sanitizer_suppressions INTERFACE)
if(TELVIX_SANITIZE)
    target_sources(telvix_sanitizer_suppressions INTERFACE
        ${CMAKE_CURRENT_LIST_DIR}/lsan_suppressions.cpp)
endif()
if(TELVIX_SANITIZE_THREAD)
    target_sources(telvix_sanitizer_suppressions INTERFACE
        ${CMAKE_CURRENT_LIST_DIR}/tsan_suppressions.cpp)
endif()
