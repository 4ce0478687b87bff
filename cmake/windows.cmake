# The two DLLs and the check tool: freestanding, importing only the kernel32
# calls they make; and the zip a technician downloads.
enable_language(RC)

# fast_float through a folder that holds only it, so the host's /usr/include
# (glibc) never shadows mingw's headers.
set(PONDIX_FASTFLOAT_DIR "${CMAKE_BINARY_DIR}/fast_float_only")
find_path(PONDIX_FASTFLOAT_HEADER fast_float/fast_float.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY "${PONDIX_FASTFLOAT_DIR}")
file(CREATE_LINK "${PONDIX_FASTFLOAT_HEADER}/fast_float" "${PONDIX_FASTFLOAT_DIR}/fast_float" SYMBOLIC)

set(PONDIX_SERIAL_READING
    serial/ucommw32.cpp
    serial/reglages.cpp
    reading/pesee.cpp
    reading/conversion.cpp
    library/runtime.cpp
)
set(PONDIX_SOURCES
    ${PONDIX_SERIAL_READING}
    reading/lecture.cpp
    library/canaux.cpp
    library/adaptateurs.cpp
    library/dateole.cpp
    library/start.cpp
)

# Arithmetic that must not depend on the host's x87 control word.
set_source_files_properties(reading/conversion.cpp library/dateole.cpp
    PROPERTIES COMPILE_OPTIONS "-msse2;-mfpmath=sse")
set_source_files_properties(reading/conversion.cpp
    PROPERTIES INCLUDE_DIRECTORIES "${PONDIX_FASTFLOAT_DIR}")

set(PONDIX_FREESTANDING_OPTIONS
    -O2 -Wall -Wextra -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fno-stack-protector)

# A version resource per file, from the project's version.
function(pondix_version target file type description)
    set(PONDIX_RC_FILE "${file}")
    get_filename_component(PONDIX_RC_NAME "${file}" NAME_WE)
    set(PONDIX_RC_FILETYPE "${type}")
    set(PONDIX_RC_DESCRIPTION "${description}")
    configure_file("${CMAKE_SOURCE_DIR}/cmake/version.rc.in"
        "${CMAKE_BINARY_DIR}/${PONDIX_RC_NAME}.rc" @ONLY)
    target_sources(${target} PRIVATE "${CMAKE_BINARY_DIR}/${PONDIX_RC_NAME}.rc")
endfunction()

foreach(com 5 1)
    set(dll pondix${com})
    add_library(${dll} SHARED ${PONDIX_SOURCES} library/pondix.def)
    set_target_properties(${dll} PROPERTIES PREFIX "" OUTPUT_NAME ${dll})
    target_include_directories(${dll} PRIVATE "${CMAKE_SOURCE_DIR}")
    target_compile_definitions(${dll} PRIVATE PONDIX_COM=${com} NDEBUG)
    target_compile_options(${dll} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${PONDIX_FREESTANDING_OPTIONS}>)
    target_link_options(${dll} PRIVATE
        -nostdlib -s -static-libgcc -Wl,-e,_DllEntry@12 -Wl,--disable-stdcall-fixup
        -Wl,--enable-reloc-section)
    target_link_libraries(${dll} PRIVATE kernel32 gcc)
    pondix_version(${dll} ${dll}.dll VFT_DLL "Adam balance on Com${com}: for a measurement host")
endforeach()

add_executable(pondixcheck check/pondixcheck.cpp check/sortie.cpp ${PONDIX_SERIAL_READING})
target_include_directories(pondixcheck PRIVATE "${CMAKE_SOURCE_DIR}")
target_compile_definitions(pondixcheck PRIVATE NDEBUG PONDIX_VERSION="${PROJECT_VERSION}")
target_compile_options(pondixcheck PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${PONDIX_FREESTANDING_OPTIONS}>)
target_link_options(pondixcheck PRIVATE
    -nostdlib -s -static-libgcc -Wl,-e,_verification -Wl,--subsystem,console
    -Wl,--enable-reloc-section)
target_link_libraries(pondixcheck PRIVATE kernel32 gcc)
pondix_version(pondixcheck pondixcheck.exe VFT_APP "Checks the balance line of a pondix DLL")

# The zip: the binaries, what the technician reads, and their checksums.
install(TARGETS pondix5 pondix1 pondixcheck RUNTIME DESTINATION .)
configure_file(package/README.txt "${CMAKE_BINARY_DIR}/README.txt" @ONLY NEWLINE_STYLE CRLF)
configure_file(package/pondix.ini.example "${CMAKE_BINARY_DIR}/pondix.ini.example" NEWLINE_STYLE CRLF)
install(FILES "${CMAKE_BINARY_DIR}/README.txt" "${CMAKE_BINARY_DIR}/pondix.ini.example" docs/abi.md
    DESTINATION .)
install(CODE [[
    set(racine "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(sommes "")
    foreach(f README.txt abi.md pondix.ini.example pondix1.dll pondix5.dll pondixcheck.exe)
        file(SHA256 "${racine}/${f}" h)
        string(APPEND sommes "${h}  ${f}\n")
    endforeach()
    file(WRITE "${racine}/SHA256SUMS" "${sommes}")
]])
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME pondix)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "pondix-${PROJECT_VERSION}-win32")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}")
include(CPack)
