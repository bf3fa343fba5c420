# The tool's commands, run as a person runs them: a separate process with its
# own output and exit status.
if(NOT WIN32 AND TARGET qvtr_tool)
    file(GLOB QVTR_TOOL_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
    foreach(test ${QVTR_TOOL_TESTS})
        qvtr_add_test(${test})
        get_filename_component(name ${test} NAME_WE)
        target_compile_definitions(${name} PRIVATE QVTR_TOOL="$<TARGET_FILE:qvtr_tool>")
        add_dependencies(${name} qvtr_tool)
    endforeach()
endif()
# It starts an sshd and a server per connection and keeps both cores busy: alone, so
# that the timing bounds of other tests do not pay for it.
if(TARGET remote_registry_test)
    set_tests_properties(remote_registry_test PROPERTIES RUN_SERIAL TRUE)
endif()
