# Tests of the kemora Python package (pytest under /usr/bin/python3, the
# interpreter the package is built for), one ctest entry per test file.
if(KEMORA_PYTHON)
  file(GLOB KEMORA_PY_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/test_*.py)
  foreach(f IN LISTS KEMORA_PY_TESTS)
    get_filename_component(stem ${f} NAME_WE)
    string(REGEX REPLACE "^test_" "" stem ${stem})
    add_test(NAME python.${stem}
      COMMAND ${Python_EXECUTABLE} -m pytest -q -p no:cacheprovider ${f}
      WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
    set_tests_properties(python.${stem} PROPERTIES LABELS python TIMEOUT 900
      ENVIRONMENT "PYTHONPATH=${PROJECT_BINARY_DIR}/python;KEMORA_BIN=$<TARGET_FILE:kemora>;KEMORA_BUILD_DIR=${PROJECT_BINARY_DIR}")
  endforeach()
endif()
