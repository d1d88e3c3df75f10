# Install rules for the X11 program and its Debian package, built with
#   cpack --config build/release/CPackConfig.cmake -G DEB -B build/package
# (tools/package does that). The package holds /usr/bin/ostrel,
# /usr/bin/ostrel-trace, their manual pages and the copyright note; its
# dependencies come from dpkg-shlibdeps (Debian's dpkg-dev).

# Only a build with the X11 program has something to install (the Windows
# build's ostrel is the .scr, installed by hand).
if(NOT TARGET ostrel OR WIN32)
  return()
endif()

include(GNUInstallDirs)

install(TARGETS ostrel ostrel-trace RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual pages, compressed as Debian ships them: gzip -9n stores neither
# the file's name nor its time, so the same page always gives the same bytes.
find_program(OSTREL_GZIP gzip REQUIRED)
set(man_dir ${PROJECT_BINARY_DIR}/man)
set(man_pages)
foreach(page IN ITEMS ostrel.1 ostrel-trace.1)
  add_custom_command(OUTPUT ${man_dir}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/${page} ${man_dir}/${page}
    COMMAND ${OSTREL_GZIP} -9nf ${man_dir}/${page}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND man_pages ${man_dir}/${page}.gz)
endforeach()
add_custom_target(ostrel_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(OSTREL_PACKAGE_MAINTAINER
  "ostrel maintainers <maintainers@users.noreply.c-seed-e0663d22.example>"
  CACHE STRING "The Maintainer field of the Debian package")

# The sources state no licence yet; the note says so rather than invent one.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/package/copyright CONTENT [[ostrel @PROJECT_VERSION@

Upstream contact: @OSTREL_PACKAGE_MAINTAINER@

Copyright: the ostrel authors.

License: the ostrel sources state no licence yet; until the authors add one,
no licence beyond the default rules of copyright is granted.
]] @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${OSTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "screen saver that freezes the X11 desktop under wandering circles")
set(CPACK_PACKAGE_DESCRIPTION [[
ostrel copies the screen into a full-screen window, so the desktop seems to
freeze, hides the cursor, and lets four coloured trails of XOR-drawn circles
wander over the frozen picture. The first key, mouse button or mouse move
ends it. The screen picture is left on the CLIPBOARD as image/png.

It reads no arguments and no settings; start it from an idle watcher such as
xautolock or xss-lock. It does not lock the screen, and it needs an X11
session.

The package also holds ostrel-trace, which prints the circles the animation
draws.]])
# Directories made by the install get the usual 0755, whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # ostrel_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OSTREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xautolock | xss-lock")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Without dpkg-shlibdeps CPack would quietly build a package that depends on
# nothing; this check, run by cpack, refuses that instead.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/package/cpack_checks.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} [[
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(OSTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT OSTREL_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps is missing (Debian package dpkg-dev): "
      "the package's dependencies cannot be computed")
  endif()
endif()
]])

include(CPack)
