# Stand-ins for the terminal-server libraries, so that the session binding runs
# against libraries loaded by the real loader. They land beside the test
# programs, where LoadLibraryA looks first; the incomplete variant, which lacks
# the message function, gets a folder of its own.
set(QVTR_STANDIN_SOURCE ${CMAKE_CURRENT_LIST_DIR}/standin.cpp)
set(QVTR_STANDIN_INCOMPLETE_DIR ${CMAKE_BINARY_DIR}/bin/standins-incomplete)

function(qvtr_add_standin target file_name output_dir)
    add_library(${target} SHARED ${QVTR_STANDIN_SOURCE})
    target_compile_definitions(${target} PRIVATE ${ARGN})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PRIVATE qvtr_warnings)
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${file_name} PREFIX "" SUFFIX ".DLL"
        RUNTIME_OUTPUT_DIRECTORY ${output_dir}
        LIBRARY_OUTPUT_DIRECTORY ${output_dir}
        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/standins/${target})
    if(WIN32)
        # Undecorated export names: GetProcAddress asks for "WTSFreeMemory", not "WTSFreeMemory@4".
        target_link_options(${target} PRIVATE -Wl,--kill-at)
    endif()
endfunction()

qvtr_add_standin(qvtr_standin_wtsapi WTSAPI32 ${CMAKE_BINARY_DIR}/bin)
qvtr_add_standin(qvtr_standin_wfapi WFAPI ${CMAKE_BINARY_DIR}/bin STANDIN_WF)
qvtr_add_standin(qvtr_standin_wfapi_incomplete WFAPI ${QVTR_STANDIN_INCOMPLETE_DIR} STANDIN_WF STANDIN_NO_MESSAGE)

if(TARGET standin_session_test)
    add_dependencies(standin_session_test qvtr_standin_wtsapi qvtr_standin_wfapi qvtr_standin_wfapi_incomplete)
    target_compile_definitions(standin_session_test PRIVATE
        QVTR_STANDIN_INCOMPLETE_DIR="${QVTR_STANDIN_INCOMPLETE_DIR}/")
    if(CMAKE_CROSSCOMPILING AND WIN32)
        # Wine implements wtsapi32 itself and prefers its own unless told otherwise;
        # Windows takes the copy beside the program first.
        set_property(TEST standin_session_test APPEND PROPERTY ENVIRONMENT
            "WINEDLLOVERRIDES=mscoree,mshtml=\\;wtsapi32=n,b")
    endif()
endif()
