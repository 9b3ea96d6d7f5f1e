# Tests of the kemora program as a user runs it.
add_test(NAME integration.cli
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/cli_test.py $<TARGET_FILE:kemora>)
set_tests_properties(integration.cli PROPERTIES LABELS integration TIMEOUT 600)
