# GTest package of the 32-bit build: the targets come from the googletest
# sources built in this tree (top-level CMakeLists.txt), not from the
# system's 64-bit libraries.
foreach(lib gtest gtest_main gmock gmock_main)
  if(TARGET ${lib} AND NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
set(GTest_FOUND TRUE)
