# The Debian package of ZUICAPI (cpack -G DEB in the build tree): the shared
# libraries, the headers, softenc, the CMake package and the pkg-config file,
# zuic and its man page, everything that `cmake --install` installs, under
# /usr. It needs pcsc-lite's runtime library; pcscd, which reaches real and
# virtual readers, is recommended.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zuicapi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZUICAPI")
set(CPACK_PACKAGE_CONTACT "ZUICAPI developers <zuicapi@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "host library for contact smart cards and SAMs, with the zuic tool")
set(CPACK_PACKAGE_DESCRIPTION
    "ZUICAPI gives host programs an object interface to contact smart cards and
SAMs in PC/SC readers, with its own software cryptography (softenc). The
package holds the libraries, their headers, the CMake package and the
pkg-config file, and zuic, which lists and watches readers, explains ATRs,
sends APDUs and scripts, and issues a card from blank.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libpcsclite1")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pcscd")
set(CPACK_STRIP_FILES OFF)
include(CPack)
