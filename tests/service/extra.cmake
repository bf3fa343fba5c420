# qvtr_test_service: a real Windows service for the tests that run against the
# system's service control manager (under Wine), beside the test programs.
if(WIN32)
    add_executable(qvtr_test_service ${CMAKE_CURRENT_LIST_DIR}/test_service.cpp)
    target_link_libraries(qvtr_test_service PRIVATE qvtr_warnings advapi32)
    if(TARGET service_wine_test)
        add_dependencies(service_wine_test qvtr_test_service)
    endif()
endif()
