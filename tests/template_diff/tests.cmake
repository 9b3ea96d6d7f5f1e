# The differential fuzzer: random templates and contexts rendered by our
# engine (template_diff_tool, many cases per process) and by Python's Jinja2.
add_executable(template_diff_tool ${CMAKE_CURRENT_LIST_DIR}/template_diff_tool.cpp)
target_link_libraries(template_diff_tool PRIVATE kemora_panogen kemora_common)
add_test(NAME template.differential_fuzz
  COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/tests/panogen/template_diff_fuzz.py
          --tool $<TARGET_FILE:template_diff_tool> --cases 3000 --seed 1
          --report ${PROJECT_BINARY_DIR}/template-diff-report.txt)
set_tests_properties(template.differential_fuzz PROPERTIES LABELS python TIMEOUT 300)
