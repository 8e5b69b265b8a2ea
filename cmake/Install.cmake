# What other programs of the product build against: a CMake package
# (find_package(kuvra), target kuvra::support) and a pkg-config file, both
# under the library directory.
include(CMakePackageConfigHelpers)
set(KUVRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kuvra)
install(EXPORT kuvraTargets NAMESPACE kuvra:: DESTINATION ${KUVRA_CMAKE_DIR}
        FILE kuvraTargets.cmake)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kuvraConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/kuvraConfig.cmake INSTALL_DESTINATION ${KUVRA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/kuvraConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/kuvraConfig.cmake
              ${CMAKE_BINARY_DIR}/cmake/kuvraConfigVersion.cmake
        DESTINATION ${KUVRA_CMAKE_DIR})

file(RELATIVE_PATH KUVRA_PC_PREFIX_FROM_PCDIR
     /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kuvra.pc.in ${CMAKE_BINARY_DIR}/lib/pkgconfig/kuvra.pc
               @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/lib/pkgconfig/kuvra.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
