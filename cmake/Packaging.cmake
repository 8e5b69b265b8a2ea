# Debian package of the whole tool-chain: programs, support library and
# headers, module templates, manual pages and the template guide.
# `make package` builds it (cpack -G DEB in the build directory).

# What Debian wants in /usr/share/doc/<package>: the copyright file, a
# compressed changelog, and here the template guide and the recipes.
# Compressed with gzip -9n so that rebuilds give identical bytes.
set(KUVRA_DOC_BUILD ${CMAKE_BINARY_DIR}/share/doc/kuvra)
add_custom_command(OUTPUT ${KUVRA_DOC_BUILD}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/debian/changelog
          ${KUVRA_DOC_BUILD}/changelog
  COMMAND gzip -9nf ${KUVRA_DOC_BUILD}/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/debian/changelog
  VERBATIM)
add_custom_target(kuvra_doc ALL DEPENDS ${KUVRA_DOC_BUILD}/changelog.gz)
install(FILES ${KUVRA_DOC_BUILD}/changelog.gz ${PROJECT_SOURCE_DIR}/docs/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kuvra)
foreach(doc templates.md recipes.md)
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs/${doc})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/${doc} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kuvra)
  endif()
endforeach()

set(KUVRA_PACKAGE_CONTACT "kuvra developers <kuvra-dev@example.org>"
    CACHE STRING "Maintainer of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kuvra)
set(CPACK_PACKAGE_VENDOR "kuvra developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KUVRA_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "export tool-chain of an imaging product: images to DICOM and 3D32")
# The extended description, after the synopsis above; CPack indents its
# lines by one blank for the control file, where Debian wants at most 80
# characters to a line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"kuvra_ppmtodicom turns greyscale PGM and colour PPM images and fieldset
files, plain or compressed with gzip, bzip2 or lzma, into DICOM files
through an m4 macro stream, a DICOM module template and the DICOM
synthesizer.  kuvra_pnmto3d32 writes 3D32 voxel volumes, kuvra_FST_extract
unpacks the file a FileCapsule fieldset carries, and kuvra_dicom_to_P5
reads DICOM images back.
.
The package also holds the static support library with its C headers and
the shipped DICOM module templates.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The outside programs the tool-chain starts by name; the libraries the
# programs link (DCMTK's among them) come from dpkg-shlibdeps.  gzip is
# essential, and Debian accepts a dependency on an essential package only
# with a version.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "m4, gzip (>= 1.6), bzip2, xz-utils, mailcap")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
