# Browser test of the dashboard page: headless Debian Chromium driven by
# playwright-core from web/node_modules. Needs the kemora program and the
# packaged template, so only with KEMORA_WEB.
if(KEMORA_WEB)
  find_program(KEMORA_NODE_EXECUTABLE NAMES node nodejs)
  if(NOT KEMORA_NODE_EXECUTABLE)
    message(FATAL_ERROR "KEMORA_WEB is ON but node is not installed: run scripts/setup")
  endif()
  add_test(NAME browser.dashboard
    COMMAND ${KEMORA_NODE_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/dashboard_test.mjs
            --kemora $<TARGET_FILE:kemora>
            --share ${KEMORA_SHARE_BUILD_DIR}
            --python /usr/bin/python3
            --out ${PROJECT_BINARY_DIR}/browser-test
            --screenshot ${PROJECT_BINARY_DIR}/dashboard.png)
  set_tests_properties(browser.dashboard PROPERTIES LABELS browser TIMEOUT 900 RUN_SERIAL TRUE)
endif()
