# Files named posix_* or win32_* know their platform; every other file builds unchanged for
# both. This is the one place that rule is applied to the sources.
#
# countryset_sources(<var> <dir> [PORTABLE | SYSTEM])
#   the .cpp files of <dir> that this build compiles: the portable ones and this system's
#   (default), the portable ones only (PORTABLE), or this system's only (SYSTEM).
function(countryset_sources out dir)
    cmake_parse_arguments(PARSE_ARGV 2 arg "PORTABLE;SYSTEM" "" "")
    if(WIN32)
        set(own win32)
        set(other posix)
    else()
        set(own posix)
        set(other win32)
    endif()
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(FILTER sources EXCLUDE REGEX "/${other}_[^/]*\\.cpp$")
    if(arg_PORTABLE)
        list(FILTER sources EXCLUDE REGEX "/${own}_[^/]*\\.cpp$")
    elseif(arg_SYSTEM)
        list(FILTER sources INCLUDE REGEX "/${own}_[^/]*\\.cpp$")
    endif()
    set(${out} ${sources} PARENT_SCOPE)
endfunction()
