# The start-up benchmark's processes: a probe that loads one library, and the
# empty library of the module's own libraries that is its floor.
if(NOT WIN32)
    add_executable(load_probe load_probe.cpp)
    target_link_libraries(load_probe PRIVATE ${CMAKE_DL_LIBS})
    add_library(load_floor SHARED load_floor.cpp)
    target_link_libraries(load_floor PRIVATE SQLite::SQLite3)
    target_compile_definitions(load_bench PRIVATE QVTR_LOAD_PROBE="$<TARGET_FILE:load_probe>"
        QVTR_LOAD_FLOOR="$<TARGET_FILE:load_floor>" QVTR_MODULE="$<TARGET_FILE:qvtr>")
    add_dependencies(load_bench load_probe load_floor qvtr)
endif()

# The remote registry's benchmark starts an sshd of its own and the tool's server.
if(NOT WIN32 AND TARGET remote_bench)
    target_compile_definitions(remote_bench PRIVATE QVTR_TOOL="$<TARGET_FILE:qvtr_tool>"
        QVTR_LOOPBACK_SSHD="${PROJECT_SOURCE_DIR}/scripts/loopback-sshd.sh")
    add_dependencies(remote_bench qvtr_tool)
endif()
