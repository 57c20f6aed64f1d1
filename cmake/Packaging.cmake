# `make package` (or cpack in a build tree): a Debian package of what `cmake --install` installs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pylon-host)
set(CPACK_PACKAGE_VENDOR "pylon toolkit")
set(PYLON_PACKAGE_MAINTAINER "pylon toolkit developers <pylon@example.invalid>" CACHE STRING
    "The package's Maintainer field and changelog signature, as \"Name <address>\"")
set(CPACK_PACKAGE_CONTACT "${PYLON_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PYLON_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "git commit markers and a peer file share for the pylon fleet")
set(CPACK_PACKAGE_DESCRIPTION
    "pylon-host is the machine-integration command of the pylon toolkit. Its
git-activity verbs keep one marker file per git repository, dated by the
latest commit and recorded from a post-commit hook; its share verbs send,
fetch and list files on a paired peer machine through quaylink.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from dpkg-shlibdeps; git runs every git-activity verb; the share verbs need
# the separately installed transfer tool.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS git)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS quaylink)

# What Debian policy asks of a package beyond the program (the package preset turns it on; a plain
# `make install` does not want them): the licence, a compressed changelog, and the reason for the
# static binary.
option(PYLON_DEBIAN_FILES "Install the copyright, changelog and lintian override of the package"
       OFF)
if(PYLON_DEBIAN_FILES)
  find_program(GZIP_EXE gzip REQUIRED)
  set(debian ${PROJECT_SOURCE_DIR}/packaging/debian)
  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
  configure_file(${debian}/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND ${GZIP_EXE} -9nkf ${PROJECT_BINARY_DIR}/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/changelog
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
  install(FILES ${debian}/copyright ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${doc_dir})
  install(FILES ${debian}/lintian-overrides RENAME ${CPACK_PACKAGE_NAME}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)
endif()

include(CPack)
