# The bench programs (scripts/bench), the one bench figure that is a test
# (DownloadFile's working set does not grow with the body) and the tests of
# the bench's own arithmetic.

# Measures the download path from inside a Wine process.
tarvex_fixture(bench_download bench/bench_download.cpp)
target_link_libraries(bench_download PRIVATE tarvex_core psapi)

# Start-up baseline: the least a program does to show and paint a window.
add_executable(bench_minimal_window WIN32 bench/minimal_window.cpp bench/paint_marks.cpp)
target_compile_definitions(bench_minimal_window PRIVATE UNICODE _UNICODE NOMINMAX)
target_link_options(bench_minimal_window PRIVATE -municode)
target_link_libraries(bench_minimal_window PRIVATE user32 gdi32)

# The installer with its paints counted: the same sources and resources, and
# the linker routes the window procedure's PaintProgressView call through
# bench/paint_counter.cpp.
set(TARVEX_PAINT_SYMBOL _Z17PaintProgressViewP6HWND__P9HBITMAP__PN7Gdiplus8GpBitmapES5_)
tarvex_installer(tarvex-installer-paintcount res/installer.rc bench/paint_counter.cpp bench/paint_marks.cpp)
target_compile_definitions(tarvex-installer-paintcount PRIVATE TARVEX_PAINT_SYMBOL=${TARVEX_PAINT_SYMBOL})
target_link_options(tarvex-installer-paintcount PRIVATE -Wl,--wrap=${TARVEX_PAINT_SYMBOL})

tarvex_wine_test(bench/memory_test ${Python3_EXECUTABLE} -m pytest -p no:cacheprovider -q
                 ${PROJECT_SOURCE_DIR}/bench/memory_test.py)

# The bench's own arithmetic and parsing; no Wine.
add_test(NAME bench/bench_test COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/bench/bench_test.py)
set_tests_properties(bench/bench_test PROPERTIES
    ENVIRONMENT "${TARVEX_WINE_TEST_ENV};PYTHONPATH=${PROJECT_SOURCE_DIR}/tests:${PROJECT_SOURCE_DIR}/bench")
