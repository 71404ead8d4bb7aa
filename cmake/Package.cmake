# The Debian packages, built by CPack (cd BUILD && cpack -G DEB): one per
# install component, "qvl" (component dev: the library, its headers, the
# CMake package, qvl.pc and the tool) and, when the Qt model was built,
# "qvl-qt" (component qt). Included after every install rule, so that CPack
# sees all components.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qvl)
set(CPACK_PACKAGE_VENDOR "the qvl developers")
set(CPACK_PACKAGE_CONTACT "the qvl developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "client-side database components for C++: cached datasets, cached updates, macro SQL")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME qvl)
# The headers and the CMake package need the libraries' development files;
# the tool needs the C++ runtime.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libsqlite3-dev (>= 3.31), libpq-dev (>= 12), libicu-dev, pkg-config, libstdc++6 (>= 12), libc6")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "client-side database components for C++: cached datasets, cached updates, macro SQL")
if(TARGET qvl_qt)
  set(CPACK_DEBIAN_QT_PACKAGE_NAME qvl-qt)
  set(CPACK_DEBIAN_QT_PACKAGE_DEPENDS "qvl (= ${PROJECT_VERSION}), qt6-base-dev (>= 6.2)")
  set(CPACK_COMPONENT_QT_DESCRIPTION "qvl's Qt table model over any dataset (qvl::qt, qvl-qt.pc)")
endif()
include(CPack)
