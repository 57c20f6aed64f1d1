# `make package` (or cpack in a build tree): a Debian package of what `cmake --install` installs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pylon-host)
set(CPACK_PACKAGE_VENDOR "pylon toolkit")
set(CPACK_PACKAGE_CONTACT "pylon toolkit developers <pylon@example.invalid>")
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
include(CPack)
