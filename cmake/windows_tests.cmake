# Windows-side tests, the test fixtures and the runs of the real exe under
# Wine. Every test that starts Wine gets a throwaway prefix copied from the
# one the `wine_prefix` fixture prepares for this test run.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Console programs: tests and fixtures are driven from the Linux side.
function(tarvex_fixture name)
    add_executable(${name} ${ARGN})
    target_compile_definitions(${name} PRIVATE UNICODE _UNICODE NOMINMAX)
    target_link_options(${name} PRIVATE -municode)
endfunction()

tarvex_fixture(certimport tests/fixtures/certimport.cpp)
target_link_libraries(certimport PRIVATE crypt32)
tarvex_fixture(winprobe tests/fixtures/winprobe.cpp)
tarvex_fixture(fetch tests/fixtures/fetch.cpp)
add_executable(setup_standin WIN32 tests/fixtures/setup_standin.cpp)
target_link_options(setup_standin PRIVATE -municode)
target_link_libraries(setup_standin PRIVATE shell32 user32 gdi32)
target_link_libraries(fetch PRIVATE tarvex_core)
target_link_libraries(winprobe PRIVATE user32 wintrust)

# The portable unit tests once more, on Windows' C runtime.
add_executable(unit_tests ${TARVEX_UNIT_TESTS})
target_link_libraries(unit_tests PRIVATE tarvex_portable gtest gtest_main)

set(TARVEX_HARNESS_ENV
    "TARVEX_BUILD_DIR=${PROJECT_BINARY_DIR}"
    "TARVEX_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "TARVEX_DOWNLOAD_HOST=${TARVEX_DOWNLOAD_HOST}"
    "TARVEX_SUPPORT_HOST=${TARVEX_SUPPORT_HOST}"
    "PYTHONDONTWRITEBYTECODE=1")

add_test(NAME wine_prefix
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/harness/make_prefix.py)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${TARVEX_HARNESS_ENV}" TIMEOUT 300)

# A test under Wine: a Python driver from tests/ with the harness on its path.
function(tarvex_wine_test name script)
    add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/${script} ${ARGN})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600
        ENVIRONMENT "${TARVEX_HARNESS_ENV};PYTHONPATH=${PROJECT_SOURCE_DIR}/tests/harness:${PROJECT_SOURCE_DIR}/tests/server")
endfunction()

# A test file run by pytest under Wine (the Debian interpreter, which has pytest).
function(tarvex_pytest name script)
    add_test(NAME ${name} COMMAND /usr/bin/python3 -m pytest -p no:cacheprovider -q ${PROJECT_SOURCE_DIR}/${script})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600
        ENVIRONMENT "${TARVEX_HARNESS_ENV};PYTHONPATH=${PROJECT_SOURCE_DIR}/tests:${PROJECT_SOURCE_DIR}/tests/harness:${PROJECT_SOURCE_DIR}/tests/server")
endfunction()

tarvex_wine_test(unit_tests_wine tests/harness/run_in_wine.py $<TARGET_FILE:unit_tests>)
tarvex_wine_test(e2e_window tests/e2e/window_test.py)
tarvex_wine_test(download tests/win/download_test.py)

# The end-to-end runs serve the download host's fixed port one at a time.
set_tests_properties(e2e_window PROPERTIES RESOURCE_LOCK download_port)

# Windows-side tests of the Win32 glue, run under Wine.
add_executable(win_tests
    tests/win/resources_test.cpp
    tests/win/png_resource_test.cpp
    tests/win/text_test.cpp
    tests/win/test_resources.rc)
target_link_libraries(win_tests PRIVATE tarvex_core gtest gtest_main version)
target_include_directories(win_tests PRIVATE ${TARVEX_GENERATED_DIR} ${PROJECT_SOURCE_DIR}/tests/win)
set_source_files_properties(tests/win/test_resources.rc PROPERTIES OBJECT_DEPENDS "${TARVEX_ARTWORK}")
add_dependencies(win_tests tarvex_artwork tarvex-installer)
tarvex_wine_test(win_tests tests/harness/run_in_wine.py $<TARGET_FILE:win_tests>)

tarvex_pytest(shipped_executable tests/e2e/release_test.py)
set_tests_properties(shipped_executable PROPERTIES TIMEOUT 900 RESOURCE_LOCK download_port)

include(cmake/registration_tests.cmake)

tarvex_wine_test(e2e_install tests/e2e/install_test.py)
set_tests_properties(e2e_install PROPERTIES RESOURCE_LOCK download_port TIMEOUT 1200)
include(cmake/bench.cmake)
include(cmake/shell_tests.cmake)

# Paint tests: screenshots of the real exe held mid-download, and a probe
# that covers or invalidates its window.
tarvex_fixture(paint_probe tests/fixtures/paint_probe.cpp)
target_link_libraries(paint_probe PRIVATE user32 gdi32)
tarvex_wine_test(e2e_paint tests/e2e/paint_test.py)
set_tests_properties(e2e_paint PROPERTIES RESOURCE_LOCK download_port)

tarvex_pytest(e2e_hardening tests/e2e/hardening_test.py)
set_tests_properties(e2e_hardening PROPERTIES RESOURCE_LOCK download_port)
