# Installation: the library (and on Linux its platform) with its language file beside it, the headers, the
# tool, a CMake package (find_package(qvtr)) and a pkg-config file.
include(CMakePackageConfigHelpers)

# On Linux the platform the module runs on is a library of its own, beside it.
set(QVTR_INSTALLED_LIBRARIES qvtr)
if(NOT WIN32)
    list(APPEND QVTR_INSTALLED_LIBRARIES qvtr_platform)
endif()
install(TARGETS ${QVTR_INSTALLED_LIBRARIES} EXPORT qvtrTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/qvtr DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Language files are looked for in the directory of the module's own file.
if(WIN32)
    install(FILES ${QVTR_LANGUAGE_FILES} DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
    install(FILES ${QVTR_LANGUAGE_FILES} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# Ready-made emulated machines for `qvtr reg import`.
file(GLOB QVTR_MACHINE_FILES ${PROJECT_SOURCE_DIR}/examples/machines/*.reg)
install(FILES ${QVTR_MACHINE_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/qvtr/machines)

if(TARGET qvtr_tool)
    install(TARGETS qvtr_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(QVTR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qvtr)
install(EXPORT qvtrTargets NAMESPACE qvtr:: DESTINATION ${QVTR_CMAKE_DIR})
configure_package_config_file(cmake/qvtrConfig.cmake.in ${CMAKE_BINARY_DIR}/qvtrConfig.cmake
    INSTALL_DESTINATION ${QVTR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/qvtrConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/qvtrConfig.cmake ${CMAKE_BINARY_DIR}/qvtrConfigVersion.cmake
    DESTINATION ${QVTR_CMAKE_DIR})

# The prefix is found from the .pc file's own place, so that an installed tree
# still works after it has been moved.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(QVTR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH QVTR_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
    string(REGEX REPLACE "/$" "" QVTR_PC_UP "${QVTR_PC_UP}")
    set(QVTR_PC_PREFIX "\${pcfiledir}/${QVTR_PC_UP}")
endif()
configure_file(cmake/qvtr.pc.in ${CMAKE_BINARY_DIR}/qvtr.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/qvtr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
