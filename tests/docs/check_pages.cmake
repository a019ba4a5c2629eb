# Renders every reference page in PAGES_DIR with groff's man macros, all
# warnings on, and fails on any warning or error, naming the page. The
# pages listed in REQUIRED must be there, so a lost page cannot pass.
#   cmake -DGROFF=... -DPAGES_DIR=... [-DREQUIRED="a.1;b.5"] -P check_pages.cmake
file(GLOB pages "${PAGES_DIR}/*.[1-9]")
foreach(name IN LISTS REQUIRED)
  if(NOT EXISTS "${PAGES_DIR}/${name}")
    message(FATAL_ERROR "page ${name} missing in ${PAGES_DIR}")
  endif()
endforeach()
if(NOT pages)
  message(FATAL_ERROR "no page in ${PAGES_DIR}")
endif()
set(faults "")
foreach(page IN LISTS pages)
  execute_process(COMMAND "${GROFF}" -man -ww -z "${page}"
                  RESULT_VARIABLE status ERROR_VARIABLE warnings OUTPUT_QUIET)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    get_filename_component(name "${page}" NAME)
    string(APPEND faults "${name} (status ${status}):\n${warnings}\n")
  endif()
endforeach()
if(NOT faults STREQUAL "")
  message(FATAL_ERROR "pages that groff warns about:\n${faults}")
endif()
list(LENGTH pages count)
message(STATUS "${count} pages render without a warning")
