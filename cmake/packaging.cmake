# The Debian package, made with CPack: `cpack --config <build>/CPackConfig.cmake -B <out>` gives
# <out>/countryset_<version>_<arch>.deb from any built folder. The version is the project's own
# (project() in the top CMakeLists.txt).

set(COUNTRYSET_PACKAGE_MAINTAINER "countryset developers <countryset@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME countryset)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${COUNTRYSET_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION [=[countryset resets a modem on a serial port with command echo on (ATZE1), sends
the country-of-installation command of ITU-T V.250 (AT+GCI=) with the code of
the country the operator picks, checks the modem's echo and OK byte for byte,
and remembers the choice for the next run. It offers a small desktop dialog
when a display is available and a text console otherwise.
.
The countries, their T.35 codes, the dialog texts and the mapping of COM1 to
COM8 onto serial devices live in /etc/countryset/countryset.DAT.
.
The package also holds countryset-modemsim, a modem simulator on a
pseudo-terminal for trying the program out and for training.]=])

# The package is laid out for /usr whatever prefix the build folder was configured with: the
# install rules place the settings file and its links from the prefix of the install itself.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${COUNTRYSET_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Dependencies come from the libraries the executables link (dpkg-shlibdeps, from dpkg-dev).
# Qt loads its display plugins at run time, which no linker records, so they are named here.
find_program(COUNTRYSET_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(COUNTRYSET_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(depends "")
else()
    message(STATUS "dpkg-shlibdeps not found: the package names its library dependencies itself")
    set(depends "libc6, libgcc-s1, libstdc++6")
    if(COUNTRYSET_HAVE_QT)
        string(APPEND depends ", libqt6core6, libqt6gui6, libqt6widgets6")
    endif()
endif()
if(COUNTRYSET_HAVE_QT)
    if(depends)
        string(APPEND depends ", ")
    endif()
    string(APPEND depends "qt6-qpa-plugins")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")

# The settings file is configuration: dpkg keeps an edited one across upgrades and removal.
set(COUNTRYSET_CONTROL_DIR ${PROJECT_BINARY_DIR}/debian)
file(WRITE ${COUNTRYSET_CONTROL_DIR}/conffiles "/etc/countryset/countryset.DAT\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${COUNTRYSET_CONTROL_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
