# The hardening flags of a Debian package build: fortified string and memory
# functions, the stack protector, and a read-only relocation table bound at
# start-up (relro, bindnow), as dpkg-buildflags gives them with every
# hardening feature on. Its optimisation and debugging flags are left out, so
# that the build type keeps choosing those.

# The flags dpkg-buildflags gives for one variable, as a list.
function(songrelay_dpkg_flags variable result)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${DPKG_BUILDFLAGS} --get ${variable}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*)$")
  set(${result} ${flags} PARENT_SCOPE)
endfunction()

find_program(DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
songrelay_dpkg_flags(CPPFLAGS SONGRELAY_DPKG_CPPFLAGS)
songrelay_dpkg_flags(CXXFLAGS SONGRELAY_DPKG_CXXFLAGS)
songrelay_dpkg_flags(LDFLAGS SONGRELAY_DPKG_LDFLAGS)
add_compile_options(${SONGRELAY_DPKG_CPPFLAGS} ${SONGRELAY_DPKG_CXXFLAGS})
add_link_options(${SONGRELAY_DPKG_LDFLAGS})
message(STATUS "dpkg-buildflags: ${SONGRELAY_DPKG_CPPFLAGS} ${SONGRELAY_DPKG_CXXFLAGS} ${SONGRELAY_DPKG_LDFLAGS}")
