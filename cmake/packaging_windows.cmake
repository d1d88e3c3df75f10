# The Windows release file, ostrel-<version>-windows-x64.zip, built from the
# MinGW-w64 build by tools/package with
#   cpack --config build/mingw/CPackConfig.cmake -G ZIP -B build/package
# It holds, at its top, ostrel.scr (the very file the Wine tests run: not
# stripped or rebuilt on the way), README.txt and LICENSE.txt, both with the
# CRLF line ends Windows' Notepad expects. Included by packaging.cmake.

if(NOT TARGET ostrel)
  return()
endif()

install(TARGETS ostrel RUNTIME DESTINATION .)

set(package_dir ${PROJECT_BINARY_DIR}/package)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows-readme.txt.in ${package_dir}/README.txt @ONLY
  NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${package_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${package_dir}/README.txt ${package_dir}/LICENSE.txt DESTINATION .)

# Installing (and so cpack) takes ostrel.scr as built: tools/package builds only
# that target, not the tests that `all` would build first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ostrel-${PROJECT_VERSION}-windows-x64)
# The three files at the zip's top: Explorer's "Extract All" makes the folder.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES OFF)
include(CPack)
