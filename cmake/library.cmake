# The shared library quelvar-pdfextractimg: the library's objects, exporting exactly the seven
# pdfextractimg_ entry points (exports.map), with install rules and a CMake package config so a host
# can use find_package(quelvar-pdfextractimg) and link quelvar::pdfextractimg.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

add_library(quelvar-pdfextractimg SHARED $<TARGET_OBJECTS:pdfextractimg_objects>)
add_library(quelvar::pdfextractimg ALIAS quelvar-pdfextractimg)
target_link_libraries(quelvar-pdfextractimg PRIVATE Threads::Threads)
target_include_directories(quelvar-pdfextractimg PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(quelvar-pdfextractimg PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  PUBLIC_HEADER ${CMAKE_CURRENT_SOURCE_DIR}/include/pdfextractimg.h
  EXPORT_NAME pdfextractimg
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/exports.map)
# Sanitizer runtimes leave symbols for the loader to resolve, so --no-undefined only without them.
target_link_options(quelvar-pdfextractimg PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/exports.map
  $<$<NOT:$<BOOL:${PDFEXTRACTIMG_SANITIZE}>>:-Wl,--no-undefined>)

install(TARGETS quelvar-pdfextractimg EXPORT quelvar-pdfextractimg-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set(QV_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quelvar-pdfextractimg)
install(EXPORT quelvar-pdfextractimg-targets
  FILE quelvar-pdfextractimg-targets.cmake
  NAMESPACE quelvar::
  DESTINATION ${QV_CONFIG_DIR})
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/quelvar-pdfextractimg-config.cmake.in
"@PACKAGE_INIT@\ninclude(\"\${CMAKE_CURRENT_LIST_DIR}/quelvar-pdfextractimg-targets.cmake\")\ncheck_required_components(quelvar-pdfextractimg)\n")
configure_package_config_file(
  ${CMAKE_CURRENT_BINARY_DIR}/quelvar-pdfextractimg-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quelvar-pdfextractimg-config.cmake
  INSTALL_DESTINATION ${QV_CONFIG_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/quelvar-pdfextractimg-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/quelvar-pdfextractimg-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/quelvar-pdfextractimg-config-version.cmake
  DESTINATION ${QV_CONFIG_DIR})

# pkg-config: quelvar-pdfextractimg.pc beside the library. Its prefix is found from where the file
# lies (${pcfiledir}), so it stays right under cmake --install --prefix DIR and DESTDIR; absolute
# install directories are written as they are.
set(QV_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(QV_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(QV_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH qv_pc_up "/${QV_PC_DIR}" "/")
  string(REGEX REPLACE "/$" "" qv_pc_up "${qv_pc_up}")
  set(QV_PC_PREFIX "\${pcfiledir}/${qv_pc_up}")
  set(QV_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(QV_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/quelvar-pdfextractimg.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/quelvar-pdfextractimg.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quelvar-pdfextractimg.pc DESTINATION ${QV_PC_DIR})
