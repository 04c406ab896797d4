# The hardening Debian builds its packages with (`dpkg-buildflags` with
# DEB_BUILD_MAINT_OPTIONS=hardening=+all), for every build of ours and not only the package's:
# the stack protector on functions with arrays or address-taken locals, the checked variants of
# the C library's string and memory functions, printf-like calls with a format that is not a
# literal refused, position-independent executables, and the relocations read-only once loaded.
# The sanitizer and fuzz presets turn it off (KESTRO_HARDENING=OFF): the sanitizers do their own
# checking, and the checked functions would hide accesses from them.
#
# _FORTIFY_SOURCE has effect only in an optimised compilation, and the C library warns (an error
# under -Werror) when it is asked for without optimisation: only the optimised build types get it,
# not Debug nor a build with no type.

set(kestro_optimised_configurations Release,RelWithDebInfo,MinSizeRel)

include(CheckPIESupported)
check_pie_supported(OUTPUT_VARIABLE kestro_pie_output LANGUAGES CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
  message(FATAL_ERROR "KESTRO_HARDENING: the linker cannot make position-independent "
    "executables: ${kestro_pie_output}")
endif()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(
  -fstack-protector-strong
  -Wformat
  -Werror=format-security
  "$<$<CONFIG:${kestro_optimised_configurations}>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
add_link_options(LINKER:-z,relro LINKER:-z,now)

# kestro_hardening_test(<program target>...): a test that hardening-check (devscripts) finds every
# feature above in each of the programs this configuration builds, the checked functions only
# where the build is optimised. Control-flow protection (-fcf-protection) is not among the flags
# Debian 12 builds with, so it is not asked for.
function(kestro_hardening_test)
  set(programs "")
  foreach(target IN LISTS ARGN)
    if(TARGET ${target})
      list(APPEND programs "$<TARGET_FILE:${target}>")
    endif()
  endforeach()
  set(options --nocfprotection)
  if(NOT CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    list(APPEND options --nofortify)
  endif()
  if(programs)
    add_test(NAME kestro.ProgramsAreHardened COMMAND hardening-check ${options} ${programs})
  endif()
endfunction()
