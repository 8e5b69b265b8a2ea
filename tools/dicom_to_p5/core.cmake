# The conversion of kuvra_dicom_to_P5 as a static library, for the program
# and its fuzz target (the fuzzing build includes this file on its own, as
# it leaves the DCMTK tools out).  Defines kuvra_dicom_to_p5_core when DCMTK
# and OpenJPEG are found.
find_package(DCMTK QUIET)
find_package(ZLIB QUIET)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(KUVRA_OPENJP2 QUIET IMPORTED_TARGET libopenjp2)
endif()
if(NOT DCMTK_FOUND OR NOT KUVRA_OPENJP2_FOUND OR NOT ZLIB_FOUND)
  message(WARNING "DCMTK, OpenJPEG (libopenjp2-7-dev) or zlib not found: kuvra_dicom_to_P5 is not built")
  return()
endif()
set(KUVRA_DICOM_TO_P5_SOURCE ${CMAKE_CURRENT_LIST_DIR})
add_library(kuvra_dicom_to_p5_core STATIC
  ${KUVRA_DICOM_TO_P5_SOURCE}/convert.cpp ${KUVRA_DICOM_TO_P5_SOURCE}/walk.cpp
  ${KUVRA_DICOM_TO_P5_SOURCE}/fdstream.cpp ${KUVRA_DICOM_TO_P5_SOURCE}/codestream.cpp)
target_include_directories(kuvra_dicom_to_p5_core PUBLIC ${KUVRA_DICOM_TO_P5_SOURCE})
target_link_libraries(kuvra_dicom_to_p5_core PUBLIC
  DCMTK::dcmjpeg DCMTK::dcmjpls DCMTK::dcmdata DCMTK::oflog DCMTK::ofstd PkgConfig::KUVRA_OPENJP2
  ZLIB::ZLIB PRIVATE kuvra_internal)
