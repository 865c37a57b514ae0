# Sanitizer and fuzzing builds, each in a build directory of its own:
#   -DZENTAVO_SANITIZE=address,undefined   every target under ASan + UBSan
#   -DZENTAVO_SANITIZE=thread              every target under TSan
#   -DZENTAVO_FUZZ=ON                      the libFuzzer targets in fuzz/ (clang only),
#                                          with ASan + UBSan on the whole core
# Qt and pcsc-lite stay uninstrumented; scripts/test-sanitizers.sh runs the tests
# with the suppression files of tests/sanitizers/.
set(ZENTAVO_SANITIZE "" CACHE STRING "Sanitizers for every target (address,undefined or thread)")
option(ZENTAVO_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(ZENTAVO_SANITIZE AND ZENTAVO_FUZZ)
    message(FATAL_ERROR "ZENTAVO_FUZZ brings its own sanitizers: leave ZENTAVO_SANITIZE empty")
endif()

if(ZENTAVO_SANITIZE)
    # Stop at the first finding: a report that lets the test go on is easily missed.
    add_compile_options(-fsanitize=${ZENTAVO_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${ZENTAVO_SANITIZE})
endif()

if(ZENTAVO_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "ZENTAVO_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++ "
                            "-DCMAKE_C_COMPILER=clang")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
    # The targets need the core and the PC/SC fake, defined further down.
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL include ${CMAKE_SOURCE_DIR}/fuzz/targets.cmake)
endif()
