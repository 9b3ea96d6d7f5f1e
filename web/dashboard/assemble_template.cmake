# Writes the packaged dashboard template: the template source with the page's
# style sheet, the page script and AG Grid Community's minified bundle inlined.
#
#   cmake -DSOURCE_DIR=<web/dashboard> -DNODE_MODULES=<web/node_modules>
#         -DOUTPUT=<.../templates/kmr_dashboard.html.j2> -P assemble_template.cmake
#
# The inlined texts sit inside raw blocks of the template, so the template
# engine never reads them; the only sequences that could break the page are an
# end of the raw block and a closing script tag, and both are refused here.
cmake_minimum_required(VERSION 3.25)

foreach(var SOURCE_DIR NODE_MODULES OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "assemble_template.cmake: ${var} is not set")
  endif()
endforeach()

set(ag_grid_js ${NODE_MODULES}/ag-grid-community/dist/ag-grid-community.min.js)
if(NOT EXISTS ${ag_grid_js})
  message(FATAL_ERROR "Dashboard template: ${ag_grid_js} is missing; "
                      "run scripts/setup (it installs web/node_modules with npm ci), "
                      "or configure with -DKEMORA_WEB=OFF")
endif()

function(read_inline var file)
  file(READ ${file} text)
  string(FIND "${text}" "endraw" at_raw)
  string(TOLOWER "${text}" lower)
  string(FIND "${lower}" "</script" at_script)
  if(NOT at_raw EQUAL -1 OR NOT at_script EQUAL -1)
    message(FATAL_ERROR "Dashboard template: ${file} contains 'endraw' or '</script' "
                        "and cannot be inlined into the template")
  endif()
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

read_inline(KMR_AG_GRID_JS ${ag_grid_js})
read_inline(KMR_PAGE_JS ${SOURCE_DIR}/kmr_dashboard.js)
read_inline(KMR_PAGE_CSS ${SOURCE_DIR}/kmr_dashboard.css)

# Written beside the target and renamed into place, so that an interrupted
# build never leaves a half-written template behind.
configure_file(${SOURCE_DIR}/kmr_dashboard.html.j2 ${OUTPUT}.tmp @ONLY)
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
