# Every C++ example of README.md, compiled against the public headers alone and
# run (under the sanitizers in the asan build, under Wine in the Windows one).
set(QVTR_README_DIR ${CMAKE_BINARY_DIR}/tests/readme)
set(QVTR_README_EXTRACT ${CMAKE_CURRENT_LIST_DIR}/extract_examples.cmake)
foreach(mode consumer tests)
    add_custom_command(OUTPUT ${QVTR_README_DIR}/readme_${mode}.cpp
        COMMAND ${CMAKE_COMMAND} -DREADME=${PROJECT_SOURCE_DIR}/README.md -DOUT=${QVTR_README_DIR}/readme_${mode}.cpp
                -DMODE=${mode} -P ${QVTR_README_EXTRACT}
        DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${QVTR_README_EXTRACT}
        COMMENT "C++ examples of README.md (${mode})")
endforeach()

add_executable(readme_examples ${QVTR_README_DIR}/readme_consumer.cpp)
target_link_libraries(readme_examples PRIVATE qvtr qvtr_warnings)
add_dependencies(readme_examples qvtr_language)
add_test(NAME readme_examples COMMAND readme_examples)
# The example that names another machine reaches none: ssh is a command that fails.
set_tests_properties(readme_examples PROPERTIES FIXTURES_REQUIRED stores
    ENVIRONMENT "QVTR_REGISTRY=${CMAKE_BINARY_DIR}/test-registry/readme_examples.db;QVTR_SSH=false")

# The examples for the tree's own tests use the test support.
add_executable(readme_test_examples ${QVTR_README_DIR}/readme_tests.cpp)
target_link_libraries(readme_test_examples PRIVATE qvtr_test_support GTest::gtest_main)
add_test(NAME readme_test_examples COMMAND readme_test_examples)
set_tests_properties(readme_test_examples PROPERTIES FIXTURES_REQUIRED stores
    ENVIRONMENT "QVTR_REGISTRY=${CMAKE_BINARY_DIR}/test-registry/readme_test_examples.db")
