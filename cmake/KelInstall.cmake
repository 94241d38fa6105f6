# CMake package (find_package(kel CONFIG)) and pkg-config file.
include(CMakePackageConfigHelpers)

set(KEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kel)
install(TARGETS kel_options EXPORT kelTargets)
install(EXPORT kelTargets NAMESPACE kel:: DESTINATION ${KEL_CMAKE_DIR})
configure_package_config_file(cmake/kelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kelConfig.cmake INSTALL_DESTINATION ${KEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kelConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelConfig.cmake ${PROJECT_BINARY_DIR}/kelConfigVersion.cmake
  DESTINATION ${KEL_CMAKE_DIR})

# The pkg-config file lists the folder libraries highest first, so a static
# link resolves every folder against the ones below it.
get_property(kel_libs GLOBAL PROPERTY KEL_LIBRARIES)
list(REVERSE kel_libs)
set(KEL_PC_LIBS "")
foreach(lib IN LISTS kel_libs)
  string(APPEND KEL_PC_LIBS " -l${lib}")
endforeach()
# System libraries that folders link (KEL_PC_SYSTEM_LIBS), after them.
get_property(kel_system_libs GLOBAL PROPERTY KEL_PC_SYSTEM_LIBS)
foreach(lib IN LISTS kel_system_libs)
  string(APPEND KEL_PC_LIBS " ${lib}")
endforeach()
configure_file(cmake/kel.pc.in ${PROJECT_BINARY_DIR}/kel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
