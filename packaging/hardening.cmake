# The distribution's hardening for every program of the build, as Debian builds its own
# packages: stack protector, _FORTIFY_SOURCE, full RELRO with BIND_NOW (dpkg-buildflags with
# hardening=+all). Only those flags are taken; the build type keeps choosing optimisation
# and debug information. A sanitized or fuzzing build brings its own instrumentation and
# keeps its own flags, and a build without optimisation cannot fortify.
if(NOT UNIX OR APPLE OR CMAKE_CXX_FLAGS MATCHES "-fsanitize" OR CMAKE_BUILD_TYPE STREQUAL "Debug")
  return()
endif()
find_program(ZARVO_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT ZARVO_DPKG_BUILDFLAGS)
  return()
endif()
set(_hardening)
foreach(_kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${ZARVO_DPKG_BUILDFLAGS} --get ${_kind}
    OUTPUT_VARIABLE _flags OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  separate_arguments(_flags UNIX_COMMAND "${_flags}")
  foreach(_flag IN LISTS _flags)
    if(_flag MATCHES "^-D_FORTIFY_SOURCE|^-fstack-protector|^-fstack-clash-protection|^-fcf-protection|^-Wformat|^-Werror=format-security")
      add_compile_options(${_flag})
      list(APPEND _hardening ${_flag})
    elseif(_flag MATCHES "^-Wl,-z,")
      add_link_options(${_flag})
      list(APPEND _hardening ${_flag})
    endif()
  endforeach()
endforeach()
message(STATUS "Hardening (dpkg-buildflags): ${_hardening}")
