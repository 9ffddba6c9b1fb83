# Install-time step (run from cmake_install.cmake): puts the sample settings file into the
# configuration folder unless one is already there, and makes the two links of the layout in
# install_layout.cmake. It works from the prefix of this install, so `cmake --install --prefix`,
# DESTDIR and CPack staging all produce the same, consistent layout.
#
# Expects: COUNTRYSET_SAMPLE, COUNTRYSET_BINDIR, COUNTRYSET_PKGDIR, COUNTRYSET_SYSCONFDIR (relative
# to the prefix, or absolute) and CMAKE_INSTALL_PREFIX.

function(countryset_absolute out dir)
    if(IS_ABSOLUTE "${dir}")
        set(result "${dir}")
    else()
        set(result "${CMAKE_INSTALL_PREFIX}/${dir}")
    endif()
    file(TO_CMAKE_PATH "${result}" result)
    string(REGEX REPLACE "/+" "/" result "${result}")
    string(REGEX REPLACE "(.)/$" "\\1" result "${result}")
    set(${out} "${result}" PARENT_SCOPE)
endfunction()

# The configuration folder as the file system hierarchy places it for this prefix.
function(countryset_sysconfdir out)
    string(REGEX REPLACE "(.)/+$" "\\1" prefix "${CMAKE_INSTALL_PREFIX}")
    if(IS_ABSOLUTE "${COUNTRYSET_SYSCONFDIR}")
        set(result "${COUNTRYSET_SYSCONFDIR}")
    elseif(COUNTRYSET_SYSCONFDIR STREQUAL "etc" AND (prefix STREQUAL "/" OR prefix STREQUAL "/usr"))
        set(result "/etc")
    elseif(COUNTRYSET_SYSCONFDIR STREQUAL "etc" AND prefix MATCHES "^/opt/")
        set(result "/etc${prefix}")
    else()
        countryset_absolute(result "${COUNTRYSET_SYSCONFDIR}")
    endif()
    set(${out} "${result}" PARENT_SCOPE)
endfunction()

function(countryset_link target link)
    set(path "$ENV{DESTDIR}${link}")
    get_filename_component(folder "${path}" DIRECTORY)
    file(MAKE_DIRECTORY "${folder}")
    if(IS_SYMLINK "${path}" OR EXISTS "${path}")
        file(REMOVE "${path}")
    endif()
    message(STATUS "Installing: ${path} -> ${target}")
    file(CREATE_LINK "${target}" "${path}" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")
    set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

countryset_sysconfdir(confdir)
set(settings "${confdir}/countryset/countryset.DAT")
countryset_absolute(pkgdir "${COUNTRYSET_PKGDIR}")
countryset_absolute(bindir "${COUNTRYSET_BINDIR}")

# An installed settings file holds the operators' last choice and maybe their own country list:
# a reinstall never replaces it.
if(EXISTS "$ENV{DESTDIR}${settings}" OR IS_SYMLINK "$ENV{DESTDIR}${settings}")
    message(STATUS "Keeping: $ENV{DESTDIR}${settings} (an installed settings file is never replaced)")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${settings}")
else()
    file(INSTALL DESTINATION "${confdir}/countryset" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         RENAME countryset.DAT FILES "${COUNTRYSET_SAMPLE}")
endif()

# Absolute: the link leaves the prefix for the configuration folder. Relative: bin and libexec
# move together.
countryset_link("${settings}" "${pkgdir}/countryset.DAT")
file(RELATIVE_PATH relative "${bindir}" "${pkgdir}/countryset")
countryset_link("${relative}" "${bindir}/countryset")
