# The registration file under Wine: the Win32 glue on the prefix's real
# profile folder, and one run of the real installer.
add_executable(registration_tests tests/win/registration_test.cpp)
target_link_libraries(registration_tests PRIVATE tarvex_core gtest gtest_main)
tarvex_wine_test(registration_tests tests/harness/run_in_wine.py $<TARGET_FILE:registration_tests>)

tarvex_pytest(e2e_registration tests/e2e/registration_test.py)
set_tests_properties(e2e_registration PROPERTIES RESOURCE_LOCK download_port)
