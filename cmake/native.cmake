# Native unit tests of the portable units; the same tests again, built by
# clang under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# threads test under ThreadSanitizer, with a bounded run of the reading
# unit's fuzzer; and (PONDIX_WITH_DLLS) the DLLs built alongside and tested
# in the emulator.
option(PONDIX_WITH_DLLS "Also cross-build the DLLs and run their emulator tests" OFF)
set(PONDIX_SANITIZE "" CACHE STRING
    "A sanitized half, configured by the native build itself (clang only): address or thread")

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

if(PONDIX_SANITIZE STREQUAL "address")
    add_compile_options(-O1 -g -fno-omit-frame-pointer
        -fsanitize=address,undefined -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
    add_subdirectory(tests/unit)
    add_subdirectory(tests/fuzz)
    return()
elseif(PONDIX_SANITIZE STREQUAL "thread")
    add_compile_options(-O1 -g -fsanitize=thread)
    add_link_options(-fsanitize=thread)
    add_subdirectory(tests/unit)
    return()
endif()

add_subdirectory(tests/unit)

# One build cannot mix compilers: the sanitized half is a build of its own.
include(ExternalProject)
find_program(PONDIX_CLANGXX clang++ REQUIRED)
set(PONDIX_SANITIZED_DIR "${CMAKE_BINARY_DIR}/sanitized")
ExternalProject_Add(pondix_sanitized
    SOURCE_DIR "${CMAKE_SOURCE_DIR}"
    BINARY_DIR "${PONDIX_SANITIZED_DIR}"
    CMAKE_ARGS
        -DCMAKE_CXX_COMPILER=${PONDIX_CLANGXX}
        -DCMAKE_BUILD_TYPE=Debug
        -DPONDIX_SANITIZE=address
    CMAKE_GENERATOR Ninja
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
)
set(PONDIX_THREADS_DIR "${CMAKE_BINARY_DIR}/threads")
ExternalProject_Add(pondix_threads
    SOURCE_DIR "${CMAKE_SOURCE_DIR}"
    BINARY_DIR "${PONDIX_THREADS_DIR}"
    CMAKE_ARGS
        -DCMAKE_CXX_COMPILER=${PONDIX_CLANGXX}
        -DCMAKE_BUILD_TYPE=Debug
        -DPONDIX_SANITIZE=thread
    CMAKE_GENERATOR Ninja
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
)

set(PONDIX_SANITIZER_ENV "ASAN_OPTIONS=detect_leaks=1" "UBSAN_OPTIONS=print_stacktrace=1")
foreach(t ${PONDIX_UNIT_TESTS})
    add_test(NAME sanitized.${t} COMMAND "${PONDIX_SANITIZED_DIR}/tests/unit/${t}")
    set_tests_properties(sanitized.${t} PROPERTIES
        ENVIRONMENT "${PONDIX_SANITIZER_ENV}" TIMEOUT 60)
endforeach()
add_test(NAME threads.test_concurrence COMMAND "${PONDIX_THREADS_DIR}/tests/unit/test_concurrence")
set_tests_properties(threads.test_concurrence PROPERTIES
    ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1" TIMEOUT 120)

# A fixed number of inputs from a fixed seed: the same run every time. A
# crashing input is kept under fuzz-artifacts/.
file(GLOB PONDIX_FUZZ_SEEDS CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/*")
list(JOIN PONDIX_FUZZ_SEEDS "," PONDIX_FUZZ_SEEDS)
set(PONDIX_FUZZ_ARTIFACTS "${CMAKE_BINARY_DIR}/fuzz-artifacts")
file(MAKE_DIRECTORY "${PONDIX_FUZZ_ARTIFACTS}")
add_test(NAME fuzz.lecture
    COMMAND "${PONDIX_SANITIZED_DIR}/tests/fuzz/fuzz_lecture"
        -seed=1 -runs=200000 -max_len=512 -timeout=10 -max_total_time=90
        -print_final_stats=1
        -dict=${CMAKE_SOURCE_DIR}/tests/fuzz/lecture.dict
        -seed_inputs=${PONDIX_FUZZ_SEEDS}
        -artifact_prefix=${PONDIX_FUZZ_ARTIFACTS}/)
set_tests_properties(fuzz.lecture PROPERTIES
    ENVIRONMENT "${PONDIX_SANITIZER_ENV}" TIMEOUT 180)

if(PONDIX_WITH_DLLS)
    set(PONDIX_DLL_DIR "${CMAKE_BINARY_DIR}/windows")
    ExternalProject_Add(pondix_dlls
        SOURCE_DIR "${CMAKE_SOURCE_DIR}"
        BINARY_DIR "${PONDIX_DLL_DIR}"
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
            -DCMAKE_BUILD_TYPE=Release
        CMAKE_GENERATOR Ninja
        BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR>
            COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target package
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
    )
    find_program(PONDIX_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
    add_test(NAME emulator
        COMMAND "${PONDIX_PYTHON}" -m pytest -q -p no:cacheprovider "${CMAKE_SOURCE_DIR}/tests/emulator")
    set_tests_properties(emulator PROPERTIES
        ENVIRONMENT "PONDIX_DLL_DIR=${PONDIX_DLL_DIR}"
        TIMEOUT 1200)
    add_test(NAME package
        COMMAND "${PONDIX_PYTHON}" -m pytest -q -p no:cacheprovider "${CMAKE_SOURCE_DIR}/tests/package")
    set_tests_properties(package PROPERTIES
        ENVIRONMENT "PONDIX_DLL_DIR=${PONDIX_DLL_DIR}"
        TIMEOUT 120)
endif()
