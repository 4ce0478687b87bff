# The two DLLs: freestanding, importing only the kernel32 calls they make.

# fast_float through a folder that holds only it, so the host's /usr/include
# (glibc) never shadows mingw's headers.
set(PONDIX_FASTFLOAT_DIR "${CMAKE_BINARY_DIR}/fast_float_only")
find_path(PONDIX_FASTFLOAT_HEADER fast_float/fast_float.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY "${PONDIX_FASTFLOAT_DIR}")
file(CREATE_LINK "${PONDIX_FASTFLOAT_HEADER}/fast_float" "${PONDIX_FASTFLOAT_DIR}/fast_float" SYMBOLIC)

set(PONDIX_SOURCES
    serial/ucommw32.cpp
    reading/lecture.cpp
    reading/pesee.cpp
    reading/conversion.cpp
    library/canaux.cpp
    library/adaptateurs.cpp
    library/dateole.cpp
    library/start.cpp
    library/runtime.cpp
)

# Arithmetic that must not depend on the host's x87 control word.
set_source_files_properties(reading/conversion.cpp library/dateole.cpp
    PROPERTIES COMPILE_OPTIONS "-msse2;-mfpmath=sse")
set_source_files_properties(reading/conversion.cpp
    PROPERTIES INCLUDE_DIRECTORIES "${PONDIX_FASTFLOAT_DIR}")

foreach(com 5 1)
    set(dll pondix${com})
    add_library(${dll} SHARED ${PONDIX_SOURCES} library/pondix.def)
    set_target_properties(${dll} PROPERTIES PREFIX "" OUTPUT_NAME ${dll})
    target_include_directories(${dll} PRIVATE "${CMAKE_SOURCE_DIR}")
    target_compile_definitions(${dll} PRIVATE PONDIX_COM=${com} NDEBUG)
    target_compile_options(${dll} PRIVATE
        -O2 -Wall -Wextra -fno-exceptions -fno-rtti
        -fno-asynchronous-unwind-tables -fno-stack-protector)
    target_link_options(${dll} PRIVATE
        -nostdlib -s -static-libgcc -Wl,-e,_DllEntry@12 -Wl,--disable-stdcall-fixup
        -Wl,--enable-reloc-section)
    target_link_libraries(${dll} PRIVATE kernel32 gcc)
endforeach()
