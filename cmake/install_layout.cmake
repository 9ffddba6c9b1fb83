# Where an install puts the program. The settings file must lie beside the executable (the
# program finds it from its own resolved path), yet belongs in /etc where operators and package
# tools expect configuration. So the executable lives in a folder of its own under libexec,
# beside a link to the settings file in the configuration folder, and bin holds a link to it:
#
#   <prefix>/bin/countryset                  -> ../libexec/countryset/countryset
#   <prefix>/libexec/countryset/countryset      the program
#   <prefix>/libexec/countryset/countryset.DAT  -> <sysconfdir>/countryset/countryset.DAT
#   <sysconfdir>/countryset/countryset.DAT      the settings file (a conffile in the package)
#
# <sysconfdir> is /etc for the prefixes / and /usr, /etc/opt/... for /opt/..., else <prefix>/etc.
include(GNUInstallDirs)

set(COUNTRYSET_INSTALL_PKGDIR "${CMAKE_INSTALL_LIBEXECDIR}/countryset"
    CACHE STRING "Folder, under the install prefix, that holds the countryset executable")

# Everything but the desktop module is the program's; the module (component qt) gets a package of
# its own (packaging.cmake).
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME program)
