# The Debian package: `cpack -G DEB` in a build configured with CMAKE_INSTALL_PREFIX=/usr
# (kestrel.sh package). Runtime dependencies come from the libraries the programs link
# (dpkg-shlibdeps); the face model ships inside the package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR Corvid)
set(CPACK_PACKAGE_CONTACT "Kestrel developers <kestrel@corvid.dev>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "virtual camera that covers for you while you are away")
# Lines of at most 80 characters, and no semicolons: CMake would read them as list separators.
set(CPACK_PACKAGE_DESCRIPTION
    "Kestrel publishes a camera named Kestrel that meeting applications pick like\n"
    "any webcam. While you are present it passes your real webcam through, and while\n"
    "you are away it plays a short loop you recorded of yourself.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://corvid.dev/kestrel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire, wireplumber")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "v4l2loopback-dkms, pkexec")
set(CPACK_STRIP_FILES ON)

# Debian wants a changelog and a copyright file in every package's documentation folder.
configure_file(${PROJECT_SOURCE_DIR}/data/debian/changelog.in changelog @ONLY)
add_custom_command(OUTPUT changelog.gz
                   COMMAND gzip -9nc changelog > changelog.gz
                   DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog)
add_custom_target(kestrel_changelog ALL DEPENDS changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz data/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(CPack)
