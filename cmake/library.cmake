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
