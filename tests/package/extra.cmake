# The installed package as a user meets it: installed, moved elsewhere, then
# used by a program outside the tree through find_package and pkg-config; and
# the symbols the shared library exports.
if(NOT WIN32)
    find_program(QVTR_PKG_CONFIG pkg-config)
    add_test(NAME package COMMAND ${CMAKE_COMMAND}
        -DBUILD_DIR=${CMAKE_BINARY_DIR}
        -DCONSUMER_DIR=${CMAKE_CURRENT_LIST_DIR}
        -DREADME=${PROJECT_SOURCE_DIR}/README.md
        -DGENERATOR=${CMAKE_GENERATOR}
        -DCXX=${CMAKE_CXX_COMPILER}
        -DCXX_FLAGS=${CMAKE_CXX_FLAGS}
        -DLINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS}
        -DNM=${CMAKE_NM}
        -DPKG_CONFIG=${QVTR_PKG_CONFIG}
        -DLIBRARY=$<TARGET_FILE:qvtr>
        -P ${CMAKE_CURRENT_LIST_DIR}/package_test.cmake)
    set_tests_properties(package PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
endif()
