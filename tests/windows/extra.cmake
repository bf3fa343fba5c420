# profile_timing: the profile lookups of bench/profile_bench.cpp timed with the
# system's kernel32, to run under Wine: cmake/wine-run.sh bin/profile_timing.exe
if(WIN32)
    add_executable(profile_timing ${CMAKE_CURRENT_LIST_DIR}/profile_timing.cpp)
    target_link_libraries(profile_timing PRIVATE qvtr_core qvtr_warnings)
    target_include_directories(profile_timing PRIVATE ${PROJECT_SOURCE_DIR})
endif()
