# Native build of the portable code and its unit tests, with AddressSanitizer
# and UndefinedBehaviorSanitizer.
find_package(GTest REQUIRED)

set(TARVEX_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

add_library(tarvex_portable STATIC ${TARVEX_PORTABLE_SOURCES})
target_include_directories(tarvex_portable PUBLIC ${PROJECT_SOURCE_DIR})
# GCC 12 with the sanitizers reports false positives inside libstdc++'s
# std::string and <regex> code (-Wrestrict, -Wmaybe-uninitialized).
target_compile_options(tarvex_portable PUBLIC -Wall -Wextra -Wno-restrict -Wno-maybe-uninitialized -g
                       ${TARVEX_SANITIZERS})
target_link_options(tarvex_portable PUBLIC ${TARVEX_SANITIZERS})

add_executable(unit_tests ${TARVEX_UNIT_TESTS})
target_link_libraries(unit_tests PRIVATE tarvex_portable GTest::gtest GTest::gtest_main)
# Named after the folder: one program of all of tests/unit/*.cpp.
add_test(NAME unit COMMAND unit_tests)

