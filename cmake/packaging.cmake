# The Debian packages, made with CPack: `cpack --config <build>/CPackConfig.cmake -B <out>` gives
# <out>/countryset_<version>_<arch>.deb from any built folder, and with Qt also
# <out>/countryset-qt_<version>_<arch>.deb, the desktop dialog. The version is the project's own
# (project() in the top CMakeLists.txt).
#
# The desktop module has a package of its own so that a machine without a desktop installs no Qt:
# the program runs its console without it. countryset recommends it, so apt brings the dialog by
# default, and --no-install-recommends (or removing it) keeps a server lean. The module uses the
# program's own code, so it depends on exactly this version of countryset.

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
when a display is available (package countryset-qt, recommended) and a text
console otherwise.
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

# Dependencies come from the libraries the executables and the module link (dpkg-shlibdeps, from
# dpkg-dev). Qt loads its display plugins at run time, which no linker records, so they are named
# here.
find_program(COUNTRYSET_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(COUNTRYSET_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(depends "")
else()
    message(STATUS "dpkg-shlibdeps not found: the package names its library dependencies itself")
    set(depends "libc6, libgcc-s1, libstdc++6")
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME countryset)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "${depends}")
# Each package's summary line is the project's; the text below it is the package's own.
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
if(COUNTRYSET_HAVE_QT)
    list(APPEND CPACK_COMPONENTS_ALL qt)
    set(CPACK_DEBIAN_QT_PACKAGE_NAME countryset-qt)
    set(CPACK_DEBIAN_PROGRAM_PACKAGE_RECOMMENDS "countryset-qt (= ${PROJECT_VERSION})")
    set(qt_depends "countryset (= ${PROJECT_VERSION}), qt6-qpa-plugins")
    if(NOT COUNTRYSET_DPKG_SHLIBDEPS)
        string(APPEND qt_depends ", libc6, libgcc-s1, libstdc++6, libqt6core6, libqt6gui6")
        string(APPEND qt_depends ", libqt6widgets6, libxcb1")
    endif()
    set(CPACK_DEBIAN_QT_PACKAGE_DEPENDS "${qt_depends}")
    set(CPACK_DEBIAN_QT_DESCRIPTION [=[The desktop dialog of countryset, drawn with Qt 6 Widgets. countryset loads it
when a display is available; without it, countryset uses its text console, so
a machine without a desktop needs neither this package nor Qt.]=])
endif()

# The settings file is configuration: dpkg keeps an edited one across upgrades and removal.
set(COUNTRYSET_CONTROL_DIR ${PROJECT_BINARY_DIR}/debian)
file(WRITE ${COUNTRYSET_CONTROL_DIR}/conffiles "/etc/countryset/countryset.DAT\n")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_CONTROL_EXTRA ${COUNTRYSET_CONTROL_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
