# Install rules: the library, its public headers (QVL_PUBLIC_HEADERS) under
# include/qvl/ (with the generated qvl/Version.h), the qvl tool, a CMake
# package (find_package(qvl) -> qvl::qvl; COMPONENTS Qt -> qvl::qt, whose
# rules are in qt/) and qvl.pc.
# Everything here is the install component "dev"; the Qt model is "qt".
include(CMakePackageConfigHelpers)

foreach(header ${QVL_PUBLIC_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  # The Qt model's header is the qt component's (qt/CMakeLists.txt).
  if(folder STREQUAL "qt")
    continue()
  endif()
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvl/${folder} COMPONENT dev)
endforeach()
install(FILES ${QVL_VERSION_INCLUDE}/qvl/Version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvl
  COMPONENT dev)

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
# qvl-qt.pc (qt/) shares the same prefix rule.
file(RELATIVE_PATH QVL_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QVL_PC_TO_PREFIX "${QVL_PC_TO_PREFIX}")
configure_file(cmake/qvl.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qvl.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)
