# cmake -DMODE=save|compare -DLISTING=file -P tmp_listing.cmake
#
# save: writes the names in /tmp to LISTING.  compare: fails, naming them,
# if names not in LISTING are still in /tmp.  Only the names the programs
# make (spool files kuvra_*):
# other users of a shared machine (compilers, other checkouts'
# test runs) come and go in /tmp too.  A new name counts only if it is still
# there after a few seconds.
file(GLOB names LIST_DIRECTORIES true RELATIVE /tmp /tmp/kuvra_*)
if(MODE STREQUAL "save")
  list(JOIN names "\n" text)
  file(WRITE ${LISTING} "${text}\n")
  return()
endif()
file(STRINGS ${LISTING} before)
set(left ${names})
if(before)
  list(REMOVE_ITEM left ${before})
endif()
foreach(try RANGE 5)
  if(NOT left)
    return()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
  set(still "")
  foreach(name IN LISTS left)
    if(EXISTS /tmp/${name})
      list(APPEND still ${name})
    endif()
  endforeach()
  set(left ${still})
endforeach()
if(left)
  list(JOIN left "\n  /tmp/" text)
  message(FATAL_ERROR "The tests left behind:\n  /tmp/${text}")
endif()
