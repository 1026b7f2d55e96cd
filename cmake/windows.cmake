# The Windows build: the installer, its Windows-side tests and the test
# fixtures, cross-compiled with MinGW-w64 and statically linked so the exe
# imports only Windows system DLLs.
enable_language(RC)

set(TARVEX_DOWNLOAD_HOST "download.tarvex.com" CACHE STRING "Host (and optional :port) of the download server")
set(TARVEX_SUPPORT_HOST "support.tarvex.com" CACHE STRING "Host of the customer-service page")
set(TARVEX_SETUP_SIGNER "" CACHE STRING
    "Publisher (subject common name) whose Authenticode signature the setup program must carry; empty: not checked")
# As the body of a C string literal.
string(REPLACE "\\" "\\\\" TARVEX_SETUP_SIGNER_LITERAL "${TARVEX_SETUP_SIGNER}")
string(REPLACE "\"" "\\\"" TARVEX_SETUP_SIGNER_LITERAL "${TARVEX_SETUP_SIGNER_LITERAL}")
option(TARVEX_BUILD_TESTS "Build the Windows-side tests and fixtures" ON)

# Byte-identical output from any checkout and build folder: no build paths,
# no link timestamp, no symbols.
set(TARVEX_REPRODUCIBLE_FLAGS
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
    -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
# -Wno-restrict: GCC 12 false positives inside libstdc++ std::string code.
add_compile_options(-Wall -Wextra -Wno-restrict ${TARVEX_REPRODUCIBLE_FLAGS})
add_link_options(-static -Wl,--no-insert-timestamp -s
                 -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0
                 -Wl,--major-os-version,6 -Wl,--minor-os-version,0)

# Built for size: every customer downloads the exe before anything else
# happens. -Os, and each function and object in its own section so that the
# linker drops what nothing calls, most of it in the C++ library. The tests'
# build uses the same flags, so the exe tested is the exe shipped. No LTO:
# GCC 12 fails inside <regex> unless the program is one partition, and then
# saves under 1 %.
set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG")
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)

set(TARVEX_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(cmake/build_config.h.in ${TARVEX_GENERATED_DIR}/build_config.h @ONLY)

set(TARVEX_ARTWORK
    ${TARVEX_GENERATED_DIR}/background.bmp
    ${TARVEX_GENERATED_DIR}/track.png
    ${TARVEX_GENERATED_DIR}/fill.png
    ${TARVEX_GENERATED_DIR}/installer.ico)
add_custom_command(
    OUTPUT ${TARVEX_ARTWORK}
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/res/make_artwork.py ${TARVEX_GENERATED_DIR}
    DEPENDS ${PROJECT_SOURCE_DIR}/res/make_artwork.py
    COMMENT "Drawing the installer's artwork"
    VERBATIM)
add_custom_target(tarvex_artwork DEPENDS ${TARVEX_ARTWORK})

add_library(tarvex_portable STATIC ${TARVEX_PORTABLE_SOURCES})
target_include_directories(tarvex_portable PUBLIC ${PROJECT_SOURCE_DIR})
# Each Windows header is parsed once per library rather than once per file:
# half the time of a clean build, which every release and its test make.
set_target_properties(tarvex_portable PROPERTIES UNITY_BUILD ON)

# The exe imports only DLLs that Windows 7 to 11 load from KnownDLLs. The
# others would be looked for beside the exe, in the user's Downloads folder,
# before our first line runs: they are delay-loaded instead, once the entry
# has restricted the search to the system folder. The delay-import libraries
# are made from MinGW's import libraries.
set(TARVEX_DELAY_LOADED winhttp comctl32 gdiplus bcrypt wintrust crypt32)
set(TARVEX_DELAY_LIBRARIES)
foreach(dll ${TARVEX_DELAY_LOADED})
    find_library(TARVEX_IMPORT_${dll} ${dll} REQUIRED)
    set(delay_lib ${PROJECT_BINARY_DIR}/delayload/lib${dll}_delay.a)
    add_custom_command(
        OUTPUT ${delay_lib}
        COMMAND sh -c "(echo EXPORTS && x86_64-w64-mingw32-nm -g --defined-only '${TARVEX_IMPORT_${dll}}' | sed -n 's/.* __imp_//p' | sort -u) > ${dll}.def"
        COMMAND x86_64-w64-mingw32-dlltool --dllname ${dll}.dll --input-def ${dll}.def --output-delaylib ${delay_lib}
        WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/delayload
        DEPENDS ${TARVEX_IMPORT_${dll}}
        VERBATIM)
    list(APPEND TARVEX_DELAY_LIBRARIES ${delay_lib})
endforeach()
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/delayload)
add_custom_target(tarvex_delay_libraries DEPENDS ${TARVEX_DELAY_LIBRARIES})

# The publisher check is compiled on its own, so that an installer pinned to
# another publisher (the tests') can link its own build of it instead.
set_source_files_properties(install/setup_signer.cpp PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
add_library(tarvex_core STATIC ${TARVEX_WINDOWS_SOURCES})
target_include_directories(tarvex_core PUBLIC ${PROJECT_SOURCE_DIR} PRIVATE ${TARVEX_GENERATED_DIR})
target_compile_definitions(tarvex_core PUBLIC UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0600)
add_dependencies(tarvex_core tarvex_delay_libraries)
set_target_properties(tarvex_core PROPERTIES UNITY_BUILD ON)
target_link_libraries(tarvex_core PUBLIC tarvex_portable ${TARVEX_DELAY_LIBRARIES}
    shell32 ole32 oleaut32 uuid advapi32 user32 gdi32 kernel32)

# The installer's exe from the entry, a resource script and any further
# sources over the core: the release's, and the variants the tests and the
# bench build.
function(tarvex_installer name resources)
    add_executable(${name} WIN32 app/main.cpp ${resources} ${ARGN})
    target_link_libraries(${name} PRIVATE tarvex_core)
    target_link_options(${name} PRIVATE -municode)
    target_include_directories(${name} PRIVATE ${TARVEX_GENERATED_DIR} ${PROJECT_SOURCE_DIR}/res)
    add_dependencies(${name} tarvex_artwork)
endfunction()

tarvex_installer(tarvex-installer res/installer.rc)
set_source_files_properties(res/installer.rc PROPERTIES
    OBJECT_DEPENDS "${TARVEX_ARTWORK};${PROJECT_SOURCE_DIR}/res/installer.manifest")

if(TARVEX_BUILD_TESTS)
    include(cmake/windows_tests.cmake)
endif()
