# Tests of the kemora program as a user runs it.
add_test(NAME integration.cli
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/cli_test.py $<TARGET_FILE:kemora>)
set_tests_properties(integration.cli PROPERTIES LABELS integration TIMEOUT 600)

# The demo once, end to end, through the real notebook executor.
add_test(NAME integration.demo
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/demo_test.py $<TARGET_FILE:kemora> ${PROJECT_BINARY_DIR}/demo-test)
set_tests_properties(integration.demo PROPERTIES LABELS integration TIMEOUT 2400 RUN_SERIAL TRUE)

# Install into a prefix and build host programs with find_package(kemora).
add_test(NAME integration.install
  COMMAND /bin/sh ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(integration.install PROPERTIES LABELS integration TIMEOUT 600)

# Hostile input files: clean errors, never a signal, nothing half-written.
add_test(NAME integration.hostile_input
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/hostile_input_test.py $<TARGET_FILE:kemora>)
set_tests_properties(integration.hostile_input PROPERTIES LABELS integration TIMEOUT 600)

# The Debian package: its dependencies, its contents, installed into a throwaway root.
if(KEMORA_PYTHON)
  add_test(NAME integration.deb
    COMMAND /bin/sh ${CMAKE_CURRENT_LIST_DIR}/deb_test.sh ${PROJECT_BINARY_DIR})
  set_tests_properties(integration.deb PROPERTIES LABELS integration TIMEOUT 900 RUN_SERIAL TRUE)
endif()
