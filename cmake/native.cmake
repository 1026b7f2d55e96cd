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

# A real Windows program, plain and signed, for the check that a download is
# whole: made by MinGW-w64 and signed by osslsigncode with a throwaway key.
find_program(TARVEX_MINGW_CC x86_64-w64-mingw32-gcc REQUIRED)
find_program(TARVEX_OSSLSIGNCODE osslsigncode REQUIRED)
find_program(TARVEX_OPENSSL openssl REQUIRED)
set(TARVEX_PLAIN_PROGRAM ${PROJECT_BINARY_DIR}/fixtures/program.exe)
set(TARVEX_SIGNED_PROGRAM ${PROJECT_BINARY_DIR}/fixtures/program-signed.exe)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/fixtures)
add_custom_command(
    OUTPUT ${TARVEX_PLAIN_PROGRAM} ${TARVEX_SIGNED_PROGRAM}
    COMMAND sh -c "echo 'int main(void) { return 0; }' | '${TARVEX_MINGW_CC}' -x c -s -o program.exe -"
    COMMAND ${TARVEX_OPENSSL} req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.pem -days 30
            -subj /CN=Fixture -batch
    COMMAND ${CMAKE_COMMAND} -E rm -f program-signed.exe
    COMMAND ${TARVEX_OSSLSIGNCODE} sign -certs signer.pem -key signer.key -h sha256 -in program.exe
            -out program-signed.exe
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/fixtures
    COMMENT "Making a signed Windows program"
    VERBATIM)
add_custom_target(program_fixtures DEPENDS ${TARVEX_PLAIN_PROGRAM} ${TARVEX_SIGNED_PROGRAM})

add_executable(unit_tests ${TARVEX_UNIT_TESTS})
target_link_libraries(unit_tests PRIVATE tarvex_portable GTest::gtest GTest::gtest_main)
target_compile_definitions(unit_tests PRIVATE TARVEX_PLAIN_PROGRAM="${TARVEX_PLAIN_PROGRAM}"
                           TARVEX_SIGNED_PROGRAM="${TARVEX_SIGNED_PROGRAM}")
add_dependencies(unit_tests program_fixtures)
# Named after the folder: one program of all of tests/unit/*.cpp.
add_test(NAME unit COMMAND unit_tests)

# The README and docs/ lead to what is there.
add_test(NAME docs_test COMMAND ${Python3_EXECUTABLE} -m pytest -p no:cacheprovider -q
         ${PROJECT_SOURCE_DIR}/tests/docs_test.py)

