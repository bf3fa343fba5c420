# Warnings are errors in every build of the project's own code.
add_library(qvtr_warnings INTERFACE)
if(MSVC)
    target_compile_options(qvtr_warnings INTERFACE /W4 /WX)
else()
    target_compile_options(qvtr_warnings INTERFACE -Wall -Wextra -Werror)
endif()
