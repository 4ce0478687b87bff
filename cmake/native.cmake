# Native unit tests of the portable units, and (PONDIX_WITH_DLLS) the DLLs
# built alongside and tested in the emulator.
option(PONDIX_WITH_DLLS "Also cross-build the DLLs and run their emulator tests" OFF)

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)
add_subdirectory(tests/unit)

if(PONDIX_WITH_DLLS)
    include(ExternalProject)
    set(PONDIX_DLL_DIR "${CMAKE_BINARY_DIR}/windows")
    ExternalProject_Add(pondix_dlls
        SOURCE_DIR "${CMAKE_SOURCE_DIR}"
        BINARY_DIR "${PONDIX_DLL_DIR}"
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
            -DCMAKE_BUILD_TYPE=Release
        CMAKE_GENERATOR Ninja
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
    )
    find_program(PONDIX_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
    add_test(NAME emulator
        COMMAND "${PONDIX_PYTHON}" -m pytest -q -p no:cacheprovider "${CMAKE_SOURCE_DIR}/tests/emulator")
    set_tests_properties(emulator PROPERTIES
        ENVIRONMENT "PONDIX_DLL_DIR=${PONDIX_DLL_DIR}"
        TIMEOUT 1200)
endif()
