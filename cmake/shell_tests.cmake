# Fixtures and runs for the window's failure paths: a window that cannot be
# created, and an installer without its pictures.
add_library(deny_window_hook SHARED tests/fixtures/deny_window_hook.cpp)
set_target_properties(deny_window_hook PROPERTIES PREFIX "" OUTPUT_NAME deny_window_hook)
target_link_libraries(deny_window_hook PRIVATE user32)
add_library(marker_dll SHARED tests/fixtures/marker_dll.cpp)
set_target_properties(marker_dll PROPERTIES PREFIX "" OUTPUT_NAME marker)
tarvex_fixture(deny_window tests/fixtures/deny_window.cpp)
target_link_libraries(deny_window PRIVATE user32)

add_executable(tarvex-installer-without-pictures WIN32 app/main.cpp tests/fixtures/installer_without_pictures.rc)
target_link_libraries(tarvex-installer-without-pictures PRIVATE tarvex_core)
target_link_options(tarvex-installer-without-pictures PRIVATE -municode)
target_include_directories(tarvex-installer-without-pictures PRIVATE ${TARVEX_GENERATED_DIR} ${PROJECT_SOURCE_DIR}/res)
set_source_files_properties(tests/fixtures/installer_without_pictures.rc PROPERTIES OBJECT_DEPENDS "${TARVEX_ARTWORK}")
add_dependencies(tarvex-installer-without-pictures tarvex_artwork)

tarvex_wine_test(e2e_missing_pictures tests/e2e/missing_pictures_test.py)
set_tests_properties(e2e_missing_pictures PROPERTIES RESOURCE_LOCK download_port)
