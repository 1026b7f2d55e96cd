# The Windows-side tests and fixtures, and the runs of the real exe under
# Wine. The `harness` test prepares the template prefix that every other
# Wine test copies; each CTest name is its file's path under tests/.
# Programs that the tests and the bench drive from the Linux side.
function(tarvex_fixture name)
    add_executable(${name} ${ARGN})
    target_compile_definitions(${name} PRIVATE UNICODE _UNICODE NOMINMAX)
    target_link_options(${name} PRIVATE -municode)
endfunction()

tarvex_fixture(probe tests/fixtures/probe.cpp)
target_link_libraries(probe PRIVATE tarvex_core crypt32 wintrust ole32 oleaut32 uuid)
# A GUI program, so that standing in for the setup program opens no console window.
target_link_options(probe PRIVATE -mwindows)
add_library(marker_dll SHARED tests/fixtures/marker_dll.cpp)
set_target_properties(marker_dll PROPERTIES PREFIX "" OUTPUT_NAME marker)
add_library(deny_window_hook SHARED tests/fixtures/deny_window_hook.cpp)
set_target_properties(deny_window_hook PROPERTIES PREFIX "")

# A real setup program, made by NSIS around 6 MiB of fixed random bytes (so
# that it is as big as a real one and the download takes a moment).
find_program(TARVEX_MAKENSIS makensis REQUIRED)
set(TARVEX_NSIS_PAYLOAD ${PROJECT_BINARY_DIR}/nsis-payload.bin)
add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/nsis-setup.exe ${TARVEX_NSIS_PAYLOAD}
    COMMAND ${Python3_EXECUTABLE} -c "import random, sys; open(sys.argv[1], 'wb').write(random.Random(7).randbytes(6 << 20))"
            ${TARVEX_NSIS_PAYLOAD}
    COMMAND ${TARVEX_MAKENSIS} -V2 -WX -DOUT=${PROJECT_BINARY_DIR}/nsis-setup.exe -DPAYLOAD=${TARVEX_NSIS_PAYLOAD}
            ${PROJECT_SOURCE_DIR}/tests/fixtures/nsis_setup.nsi
    DEPENDS ${PROJECT_SOURCE_DIR}/tests/fixtures/nsis_setup.nsi
    COMMENT "Making the NSIS setup program"
    VERBATIM)
add_custom_target(nsis_setup ALL DEPENDS ${PROJECT_BINARY_DIR}/nsis-setup.exe)

tarvex_installer(tarvex-installer-without-pictures tests/fixtures/installer_without_pictures.rc)
set_source_files_properties(tests/fixtures/installer_without_pictures.rc PROPERTIES OBJECT_DEPENDS "${TARVEX_ARTWORK}")

# The installer pinned to the tests' publisher, as a release made with
# --setup-signer is: its own build of the publisher check, whose object the
# linker takes before the core's archive.
set(TARVEX_TEST_SETUP_SIGNER "Tarvex Test Publisher")
function(tarvex_pinned_config)
    set(TARVEX_SETUP_SIGNER_LITERAL "${TARVEX_TEST_SETUP_SIGNER}")
    configure_file(cmake/build_config.h.in ${PROJECT_BINARY_DIR}/generated-pinned/build_config.h @ONLY)
endfunction()
tarvex_pinned_config()
add_library(tarvex_setup_signer_pinned OBJECT install/setup_signer.cpp)
target_link_libraries(tarvex_setup_signer_pinned PRIVATE tarvex_core)
target_include_directories(tarvex_setup_signer_pinned PRIVATE ${PROJECT_BINARY_DIR}/generated-pinned)
tarvex_installer(tarvex-installer-pinned res/installer.rc $<TARGET_OBJECTS:tarvex_setup_signer_pinned>)

# As root, each Wine test gets a network of its own, so that all of them can
# serve the download port at once; elsewhere they take turns.
execute_process(COMMAND unshare --net true RESULT_VARIABLE TARVEX_NO_OWN_NETWORK OUTPUT_QUIET ERROR_QUIET)
if(TARVEX_NO_OWN_NETWORK EQUAL 0)
    set(TARVEX_OWN_NETWORK unshare --net sh -c "ip link set lo up && exec \"$@\"" sh)
endif()

set(TARVEX_WINE_TEST_ENV
    "TARVEX_BUILD_DIR=${PROJECT_BINARY_DIR}"
    "TARVEX_DOWNLOAD_HOST=${TARVEX_DOWNLOAD_HOST}"
    "TARVEX_SUPPORT_HOST=${TARVEX_SUPPORT_HOST}"
    "TARVEX_TEST_SETUP_SIGNER=${TARVEX_TEST_SETUP_SIGNER}"
    "PYTHONPATH=${PROJECT_SOURCE_DIR}/tests"
    "PYTHONDONTWRITEBYTECODE=1")

add_test(NAME harness COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/harness.py prepare)
set_tests_properties(harness PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${TARVEX_WINE_TEST_ENV}" TIMEOUT 300)

# A test under Wine: a command, run after the template prefix is ready.
function(tarvex_wine_test name)
    add_test(NAME ${name} COMMAND ${TARVEX_OWN_NETWORK} ${ARGN})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600 ENVIRONMENT "${TARVEX_WINE_TEST_ENV}")
    if(NOT TARVEX_OWN_NETWORK)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK download_port)
    endif()
endfunction()

foreach(file e2e/download_test e2e/install_test e2e/calls_test e2e/channel_test e2e/window_test
             e2e/registration_test e2e/release_test e2e/check_server_test)
    tarvex_wine_test(${file} ${Python3_EXECUTABLE} -m pytest -p no:cacheprovider -q ${PROJECT_SOURCE_DIR}/tests/${file}.py)
endforeach()
set_tests_properties(e2e/release_test PROPERTIES TIMEOUT 900)
# A build that has no timings of its own yet starts the longest first (their
# seconds on 2 cores), rather than leaving them to the end.
set_tests_properties(e2e/check_server_test e2e/release_test PROPERTIES COST 150)
set_tests_properties(e2e/calls_test e2e/install_test PROPERTIES COST 110)
set_tests_properties(e2e/window_test PROPERTIES COST 75)

include(bench/bench.cmake)
