# Install rules and CPack settings of the two release files, built by
# tools/package:
#   Linux build:   cpack --config build/release/CPackConfig.cmake -G DEB -B build/package
#                  -> the Debian package ostrel_<version>_<arch>.deb: /usr/bin/ostrel,
#                  /usr/bin/ostrel-idle, /usr/bin/ostrel-trace, their manual pages,
#                  ostrel-idle's systemd user unit, the copyright file
#                  (machine-readable, the MIT licence) and the changelog. Its
#                  dependencies come from dpkg-shlibdeps (Debian's dpkg-dev).
#   Windows build: cpack --config build/mingw/CPackConfig.cmake -G ZIP -B build/package
#                  -> ostrel-<version>-windows-x64.zip: ostrel.scr, README.txt and
#                  LICENSE.txt (packaging_windows.cmake).
# Every version in them is the project's (project() in CMakeLists.txt).

# The maintainers' address, for the package's Maintainer field, its copyright
# file and its changelog: here and nowhere else.
set(OSTREL_PACKAGE_MAINTAINER "ostrel maintainers <maintainers@ostrel.example>")

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging_windows.cmake)
  return()
endif()
# Only a build with the Linux program has something to install.
if(NOT TARGET ostrel)
  return()
endif()

include(GNUInstallDirs)

set(ostrel_programs ostrel ostrel-trace)
if(TARGET ostrel-idle)
  list(APPEND ostrel_programs ostrel-idle)
endif()
install(TARGETS ${ostrel_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cpack, with CPACK_STRIP_FILES below; cmake --install --strip)
# also drops the compilers' .comment notes, as Debian's dh_strip does.
if(CMAKE_OBJCOPY)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program IN ITEMS ${ostrel_programs})
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
          COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()")
endif()

# The manual pages, with the project's version in their headers, compressed as
# Debian ships them (the changelog too): gzip -9n stores neither the file's
# name nor its time, so the same page always gives the same bytes.
find_program(OSTREL_GZIP gzip REQUIRED)
set(man_dir ${PROJECT_BINARY_DIR}/man)
set(man_pages)
foreach(page IN ITEMS ostrel.1 ostrel-trace.1 ostrel-idle.1)
  if(page STREQUAL "ostrel-idle.1" AND NOT TARGET ostrel-idle)
    continue()  # a build without the launcher
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/docs/${page}.in ${man_dir}/${page} @ONLY)
  add_custom_command(OUTPUT ${man_dir}/${page}.gz
    COMMAND ${OSTREL_GZIP} -9nkf ${man_dir}/${page}
    DEPENDS ${man_dir}/${page}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND man_pages ${man_dir}/${page}.gz)
endforeach()
add_custom_target(ostrel_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(package_dir ${PROJECT_BINARY_DIR}/package)

# The application's entry: hidden from menus, it names the installed program
# for KWin, which lets only programs named so with the interface listed copy
# the screen through org.kde.KWin.ScreenShot2 (KWin reads these files when it
# starts). The program itself never writes such a file.
# It names the program where the install puts it (/usr/bin in the package),
# so it is made at install time, when that prefix is known.
install(CODE "set(ostrel_desktop_template \"${CMAKE_CURRENT_LIST_DIR}/ostrel.desktop.in\")
  set(ostrel_bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(ostrel_applications \"${CMAKE_INSTALL_DATADIR}/applications\")")
install(CODE [[
  set(OSTREL_INSTALLED_PROGRAM "${CMAKE_INSTALL_PREFIX}/${ostrel_bindir}/ostrel")
  set(entry "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${ostrel_applications}/ostrel.desktop")
  message(STATUS "Installing: ${entry}")
  configure_file("${ostrel_desktop_template}" "${entry}" @ONLY)
]])

# ostrel-idle's systemd user unit, with the program's path where this install
# puts it (/usr/bin/ostrel-idle in the package): written when installing,
# since the prefix is known only then (cpack installs to /usr).
if(TARGET ostrel-idle)
  install(CODE "
    set(OSTREL_IDLE_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/ostrel-idle\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/ostrel-idle.service.in\"
      \"${package_dir}/ostrel-idle.service\" @ONLY)")
  install(FILES ${package_dir}/ostrel-idle.service DESTINATION lib/systemd/user)
endif()

# The copyright file in Debian's machine-readable format, its licence text taken
# from LICENSE: the lines after the copyright notice, indented one space, each
# empty line written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.+)$")
  message(FATAL_ERROR "LICENSE: no line 'Copyright (c) ...' followed by the licence's terms")
endif()
set(OSTREL_COPYRIGHT "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" license_terms)
string(REPLACE "\n\n" "\n.\n" license_terms "${license_terms}")
string(REPLACE "\n" "\n " license_terms " ${license_terms}")
set(OSTREL_LICENSE_TERMS "${license_terms}")
file(CONFIGURE OUTPUT ${package_dir}/copyright CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ostrel
Upstream-Contact: @OSTREL_PACKAGE_MAINTAINER@

Files: *
Copyright: @OSTREL_COPYRIGHT@
License: Expat

License: Expat
@OSTREL_LICENSE_TERMS@
]] @ONLY)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE)
install(FILES ${package_dir}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The changelog: a package whose version has no Debian revision is a native
# one, whose changelog is changelog.gz. Its newest entry must be this version:
# a new version needs an entry saying what changed.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-changelog.in ${package_dir}/changelog @ONLY)
file(STRINGS ${package_dir}/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^ostrel \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian-changelog.in: its newest entry, '${changelog_top}', is not "
    "version ${PROJECT_VERSION}: add an entry for it")
endif()
add_custom_command(OUTPUT ${package_dir}/changelog.gz
  COMMAND ${OSTREL_GZIP} -9nkf ${package_dir}/changelog
  DEPENDS ${package_dir}/changelog
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(ostrel_changelog ALL DEPENDS ${package_dir}/changelog.gz)
install(FILES ${package_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${OSTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "screen saver that freezes the desktop under wandering circles")
set(CPACK_PACKAGE_DESCRIPTION [[
ostrel copies the screen into a full-screen window, so the desktop seems to
freeze, hides the cursor, and lets four coloured trails of XOR-drawn circles
wander over the frozen picture. The first key, mouse button or mouse move
ends it. The screen picture is left on the clipboard as image/png.

It runs in an X11 session and in Wayland sessions: on wlroots compositors
(sway, Hyprland, river, labwc, Wayfire), on KDE Plasma (copying the screen
through KWin, which the package's application entry allows it) and on GNOME
(through the desktop's screenshot portal, which asks the user once). It reads
no arguments and no settings. It does not lock the screen.

ostrel-idle starts it whenever the session has been idle for a while (ten
minutes unless told), as the systemd user service ostrel-idle.service, in
GNOME, in KDE Plasma and other Wayland sessions with the idle-notify
protocol, and in X11 sessions. Elsewhere an idle watcher such as swayidle,
xautolock or xss-lock can start it.

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
# GNOME's screen cast is read through PipeWire's library, loaded only when it
# is tried (so dpkg-shlibdeps does not see it); without it GNOME's screenshot
# portal serves instead. Every GNOME and KDE Plasma system has it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpipewire-0.3-0")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Without dpkg-shlibdeps CPack would quietly build a package that depends on
# nothing; this check, run by cpack, refuses that instead.
set(CPACK_PROJECT_CONFIG_FILE ${package_dir}/cpack_checks.cmake)
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
