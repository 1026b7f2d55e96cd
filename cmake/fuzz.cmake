# libFuzzer targets, built with clang++ beside the g++ build (libFuzzer is
# clang's), and a CTest run of each for a bounded time.
find_program(TARVEX_CLANGXX NAMES clang++ clang++-14)
if(NOT TARVEX_CLANGXX)
    message(WARNING "clang++ not found: the fuzz tests are not built (apt-get install clang libclang-rt-14-dev)")
    return()
endif()

set(TARVEX_FUZZ_SECONDS 30 CACHE STRING "How long each fuzz test runs")

set(TARVEX_REGISTRATION_FUZZ_SOURCES
    ${PROJECT_SOURCE_DIR}/tests/fuzz/registration_fuzz.cpp
    ${PROJECT_SOURCE_DIR}/registration/registration_format.cpp)
set(TARVEX_REGISTRATION_FUZZER ${PROJECT_BINARY_DIR}/registration_fuzzer)
add_custom_command(
    OUTPUT ${TARVEX_REGISTRATION_FUZZER}
    COMMAND ${TARVEX_CLANGXX} -std=c++20 -O1 -g -Wall -Wextra -I${PROJECT_SOURCE_DIR}
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
            ${TARVEX_REGISTRATION_FUZZ_SOURCES} -o ${TARVEX_REGISTRATION_FUZZER}
    DEPENDS ${TARVEX_REGISTRATION_FUZZ_SOURCES} ${PROJECT_SOURCE_DIR}/registration/registration_format.h
    COMMENT "Building the registration fuzz target with clang++"
    VERBATIM)
add_custom_target(registration_fuzz ALL DEPENDS ${TARVEX_REGISTRATION_FUZZER})

# The fuzzer adds what it finds to a scratch copy of the seeds, so the
# corpus in the repository stays as it was committed.
add_test(NAME fuzz_registration
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/fuzz/run_fuzzer.py
                 ${TARVEX_REGISTRATION_FUZZER}
                 ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/registration
                 ${PROJECT_BINARY_DIR}/fuzz/registration
                 ${TARVEX_FUZZ_SECONDS})
set_tests_properties(fuzz_registration PROPERTIES TIMEOUT 300)
