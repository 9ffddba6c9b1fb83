# Install rules for everything beside the two executables (their install() lines stand with
# their targets): the settings file and its links, desktop entry, icons, man pages and docs.
# The layout is explained in install_layout.cmake.

install(CODE "
    set(COUNTRYSET_SAMPLE \"${PROJECT_SOURCE_DIR}/data/countryset.DAT\")
    set(COUNTRYSET_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(COUNTRYSET_PKGDIR \"${COUNTRYSET_INSTALL_PKGDIR}\")
    set(COUNTRYSET_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/install_settings.cmake\")
")

install(FILES data/countryset.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

foreach(size 16 32 48 64 128 256)
    install(FILES data/icons/hicolor/${size}x${size}/apps/countryset.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES data/icons/countryset.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Man pages carry the project's version and go in compressed, as the distribution's packaging
# rules ask (uncompressed when gzip is missing).
find_program(COUNTRYSET_GZIP gzip)
foreach(page countryset.1 countryset-modemsim.1)
    set(source ${PROJECT_SOURCE_DIR}/man/${page})
    set(built ${PROJECT_BINARY_DIR}/man/${page})
    if(COUNTRYSET_GZIP)
        string(APPEND built .gz)
    endif()
    add_custom_command(OUTPUT ${built}
        COMMAND ${CMAKE_COMMAND} -DPROJECT_VERSION=${PROJECT_VERSION} -DGZIP=${COUNTRYSET_GZIP}
                -DSOURCE=${source} -DDEST=${built} -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
        DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
        VERBATIM)
    list(APPEND built_pages ${built})
    install(FILES ${built} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(countryset_man_pages ALL DEPENDS ${built_pages})

# Completes options, COM ports and the installed settings file's country names.
install(FILES data/countryset.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME countryset)

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The pristine sample, to compare with or to start over from.
install(FILES data/countryset.DAT DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
