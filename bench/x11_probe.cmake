# ostrel-x11-probe: timestamps the program's window events for
# bench/x11_run_bench.py and the end-to-end tests. Included from
# tests/e2e/CMakeLists.txt (and may be from bench/CMakeLists.txt: the guard
# keeps it to one definition).
if(NOT TARGET ostrel-x11-probe)
  find_package(X11 REQUIRED)
  add_executable(ostrel-x11-probe ${CMAKE_CURRENT_LIST_DIR}/x11_probe.cpp)
  target_link_libraries(ostrel-x11-probe PRIVATE ostrel_options X11::X11)
  set_target_properties(ostrel-x11-probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
endif()
