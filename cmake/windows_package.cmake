# The Windows release: a ZIP holding countryset.exe, the sample settings file beside it and a
# short README, made by `cpack --config <build>/CPackConfig.cmake -B <out>` from the windows
# preset's build (<out>/countryset-<version>-win64.zip).
install(TARGETS countryset RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/data/countryset.DAT DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/data/windows/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME countryset)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The build keeps its debugging information; the release does not need it.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
include(CPack)
