# Client code for Wayland protocols, generated at build time by wayland-scanner
# from their XML descriptions: Debian's wayland-protocols for the standard ones,
# our own descriptions under src/platform/wayland/protocols/ for the rest.
include_guard(GLOBAL)
find_package(PkgConfig REQUIRED)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(OSTREL_WAYLAND_SCANNER wayland-scanner wayland_scanner)
pkg_get_variable(OSTREL_WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)
if(NOT OSTREL_WAYLAND_SCANNER OR NOT OSTREL_WAYLAND_PROTOCOLS_DIR)
  message(FATAL_ERROR "the Wayland backend needs wayland-scanner and wayland-protocols "
                      "(Debian: libwayland-dev wayland-protocols)")
endif()
enable_language(C)  # the scanner writes C

# ostrel_wayland_protocols(<library> <xml>...): a static library of the
# protocols' generated client code; its users include "<name>-client-protocol.h".
# The generated code is compiled without our warning flags: it is not ours.
function(ostrel_wayland_protocols library)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${library})
  file(MAKE_DIRECTORY ${dir})
  set(sources)
  foreach(xml IN LISTS ARGN)
    get_filename_component(name ${xml} NAME_WE)
    add_custom_command(
      OUTPUT ${dir}/${name}-client-protocol.h ${dir}/${name}-protocol.c
      COMMAND ${OSTREL_WAYLAND_SCANNER} client-header ${xml} ${dir}/${name}-client-protocol.h
      COMMAND ${OSTREL_WAYLAND_SCANNER} private-code ${xml} ${dir}/${name}-protocol.c
      DEPENDS ${xml}
      VERBATIM)
    list(APPEND sources ${dir}/${name}-protocol.c ${dir}/${name}-client-protocol.h)
  endforeach()
  add_library(${library} STATIC ${sources})
  target_include_directories(${library} SYSTEM PUBLIC ${dir})
  target_link_libraries(${library} PUBLIC PkgConfig::WAYLAND_CLIENT)
endfunction()
