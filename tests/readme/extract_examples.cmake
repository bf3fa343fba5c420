# Turns the ```cpp blocks of README.md into one C++ file, so that the
# documentation cannot drift from the code. Words after "cpp" on the fence:
#   toplevel  declarations at namespace scope (compiled, not run)
#   norun     compiled, not run (it would wait, start services, ...)
#   windows   only in the Windows build
#   tests     uses the in-tree test support: goes to the MODE=tests file only
#   consumer  a whole program of its own: built by the package test, not here
# Every other block is the body of a function that the program runs.
# cmake -DREADME=... -DOUT=... -DMODE=consumer|tests -P extract_examples.cmake
file(READ "${README}" text)
# CMake lists split on ';' and treat brackets and backslashes specially: hide them.
string(REPLACE "\\" "@BS@" text "${text}")
string(REPLACE ";" "@SEMI@" text "${text}")
string(REPLACE "[" "@LB@" text "${text}")
string(REPLACE "]" "@RB@" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(includes "")
set(bodies "")
set(calls "")
set(in_block FALSE)
set(skipping FALSE)
set(number 0)
foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(skipping)
        if(line STREQUAL "```")
            set(skipping FALSE)
        endif()
        continue()
    endif()
    if(NOT in_block)
        if(line MATCHES "^```cpp consumer$")
            set(skipping TRUE)
        elseif(line MATCHES "^```cpp( (.*))?$")
            set(in_block TRUE)
            set(flags " ${CMAKE_MATCH_2} ")
            set(start ${number})
            set(block "")
        endif()
        continue()
    endif()
    if(NOT line STREQUAL "```")
        if(line MATCHES "^#include ")
            string(APPEND includes "${line}\n")
        else()
            string(APPEND block "${line}\n")
        endif()
        continue()
    endif()
    set(in_block FALSE)
    string(FIND "${flags}" " tests " is_tests)
    string(FIND "${flags}" " norun " is_norun)
    if(MODE STREQUAL "tests")
        if(NOT is_tests EQUAL -1 AND is_norun EQUAL -1)
            string(APPEND bodies "TEST(ReadmeExample, Line${start}) {\n${block}}\n\n")
        elseif(NOT is_tests EQUAL -1)
            string(APPEND bodies "[[maybe_unused]] static void ReadmeLine${start}() {\n${block}}\n\n")
        endif()
        continue()
    endif()
    if(NOT is_tests EQUAL -1)
        continue()
    endif()
    string(FIND "${flags}" " windows " is_windows)
    string(FIND "${flags}" " toplevel " is_toplevel)
    set(code "")
    if(NOT is_toplevel EQUAL -1)
        set(code "namespace readme_line${start} {\n${block}}  // namespace readme_line${start}\n")
    else()
        set(code "static void ReadmeLine${start}() {\n${block}}\n")
        if(is_norun EQUAL -1)
            set(call "    Run(${start}, ReadmeLine${start});\n")
            if(NOT is_windows EQUAL -1)
                set(call "#if defined(_WIN32)\n${call}#endif\n")
            endif()
            string(APPEND calls "${call}")
        endif()
    endif()
    if(NOT is_windows EQUAL -1)
        set(code "#if defined(_WIN32)\n${code}#endif\n")
    endif()
    string(APPEND bodies "// README.md line ${start}\n${code}\n")
endforeach()

if(MODE STREQUAL "tests")
    set(result "// Generated from README.md: the examples of the test support.\n${includes}#include <gtest/gtest.h>\n
#include <string>
#include <vector>

#include \"support/scratch_registry.h\"

${bodies}")
else()
    set(result "// Generated from README.md: every example, compiled against the public headers.\n${includes}
#include \"qvtr/localization.h\"
#include \"qvtr/module.h\"
#include \"qvtr/platform.h\"
#include \"qvtr/registry.h\"
#include \"qvtr/service.h\"
#include \"qvtr/sync.h\"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#if defined(__GNUC__)
#pragma GCC diagnostic ignored \"-Wunused-variable\"
#pragma GCC diagnostic ignored \"-Wunused-but-set-variable\"
#pragma GCC diagnostic ignored \"-Wunused-function\"
#endif

${bodies}
// An example may end in the registry code it documents as thrown.
static int g_nFailures = 0;
static void Run(int line, void (*example)()) {
    try {
        example();
    } catch (long code) {
        std::printf(\"README.md line %d: ends with registry code %ld\\n\", line, code);
    } catch (const std::exception& error) {
        std::printf(\"README.md line %d: %s\\n\", line, error.what());
        ++g_nFailures;
    }
}

int main() {
${calls}    return g_nFailures == 0 ? 0 : 1;
}
")
endif()
string(REPLACE "@SEMI@" ";" result "${result}")
string(REPLACE "@LB@" "[" result "${result}")
string(REPLACE "@RB@" "]" result "${result}")
string(REPLACE "@BS@" "\\" result "${result}")
file(WRITE "${OUT}.new" "${result}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${OUT}.new" "${OUT}")
file(REMOVE "${OUT}.new")
