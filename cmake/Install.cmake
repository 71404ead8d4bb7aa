# Install rules and packaging: the library, its headers under include/qvl/,
# the qvl tool, a CMake package (find_package(qvl) -> qvl::qvl), qvl.pc and a
# Debian package built by CPack.
include(CMakePackageConfigHelpers)

foreach(header ${QVL_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvl/${folder} COMPONENT dev)
endforeach()

install(TARGETS qvl_lib EXPORT qvlTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dev)
install(TARGETS qvl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dev)
install(FILES LICENSE README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)

set(QVL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qvl)
install(EXPORT qvlTargets NAMESPACE qvl:: DESTINATION ${QVL_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/qvlConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/qvlConfig.cmake
  INSTALL_DESTINATION ${QVL_CMAKE_DIR})
# Until 1.0 a minor version may change the API.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qvlConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvlConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qvlConfigVersion.cmake
  DESTINATION ${QVL_CMAKE_DIR} COMPONENT dev)

# qvl.pc finds its prefix from its own place, so that the tree can be moved
# (a package unpacked with dpkg -x, a staging folder).
file(RELATIVE_PATH QVL_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QVL_PC_TO_PREFIX "${QVL_PC_TO_PREFIX}")
configure_file(cmake/qvl.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qvl.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

# cpack -G DEB in the build folder makes the Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qvl)
set(CPACK_PACKAGE_VENDOR "the qvl developers")
set(CPACK_PACKAGE_CONTACT "the qvl developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "client-side database components for C++: cached datasets, cached updates, macro SQL")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# The headers and the CMake package need the libraries' development files;
# the tool needs the C++ runtime.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libsqlite3-dev (>= 3.31), libpq-dev (>= 12), libicu-dev, pkg-config, libstdc++6 (>= 12), libc6")
include(CPack)
