# The API reference: target docs runs Doxygen (Debian package doxygen) over
# the public headers (QVL_PUBLIC_HEADERS) and qvl/Version.h, with README.md
# as its main page, into BUILD/docs/html. A warning fails the target.
#
# The headers are laid out for Doxygen as an application includes them
# (BUILD/docs/include/qvl/...), so that each class names its include as
# <qvl/...>. docs/doxygen-filter.awk shows the headers' own comments as
# they stand: the contract at a header's top documents the header and its
# main class, a comment right above a declaration documents it.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  return()
endif()
set(QVL_DOCS_DIR ${CMAKE_BINARY_DIR}/docs)
set(QVL_DOCS_INCLUDE ${QVL_DOCS_DIR}/include)
# Laid afresh each configure: a header taken off the list leaves no link.
file(REMOVE_RECURSE ${QVL_DOCS_INCLUDE})
foreach(header ${QVL_PUBLIC_HEADERS} Version.h)
  if(header STREQUAL "Version.h")
    set(target ${QVL_VERSION_INCLUDE}/qvl/Version.h)
  else()
    set(target ${CMAKE_CURRENT_SOURCE_DIR}/${header})
  endif()
  get_filename_component(folder ${QVL_DOCS_INCLUDE}/qvl/${header} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  file(CREATE_LINK ${target} ${QVL_DOCS_INCLUDE}/qvl/${header} SYMBOLIC)
endforeach()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/docs/Doxyfile.in ${QVL_DOCS_DIR}/Doxyfile @ONLY)
add_custom_target(docs
  COMMAND Doxygen::doxygen ${QVL_DOCS_DIR}/Doxyfile
  COMMAND ${CMAKE_COMMAND} -E echo "API reference: ${QVL_DOCS_DIR}/html/index.html"
  WORKING_DIRECTORY ${QVL_DOCS_DIR}
  COMMENT "Generating the API reference"
  VERBATIM)
