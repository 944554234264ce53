# What is installed, and the two Debian packages made from it: songrelay (the
# player and its manual page) and songrelay-monitor (the monitor and its
# manual page). Each package also carries the copyright file and the
# changelog in its /usr/share/doc directory.

include(GNUInstallDirs)

# Who a package built here comes from: the packager named in Debian's usual
# variables, else the git identity of this clone's user, else the user and
# host building it. Whoever runs cpack is the package's maintainer; a
# distribution sets its own with -DSONGRELAY_MAINTAINER="Name <address>".
function(songrelay_default_maintainer result)
  if(DEFINED ENV{DEBEMAIL} AND NOT "$ENV{DEBEMAIL}" STREQUAL "")
    set(name "$ENV{DEBFULLNAME}")
    if(name STREQUAL "")
      set(name "$ENV{NAME}")
    endif()
    set(${result} "${name} <$ENV{DEBEMAIL}>" PARENT_SCOPE)
    return()
  endif()
  find_program(SONGRELAY_GIT git)
  if(SONGRELAY_GIT)
    foreach(key name email)
      execute_process(COMMAND ${SONGRELAY_GIT} -C ${CMAKE_SOURCE_DIR} config user.${key}
                      OUTPUT_VARIABLE ${key} OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endforeach()
    if(NOT name STREQUAL "" AND NOT email STREQUAL "")
      set(${result} "${name} <${email}>" PARENT_SCOPE)
      return()
    endif()
  endif()
  cmake_host_system_information(RESULT host QUERY FQDN)
  set(user "$ENV{USER}")
  if(user STREQUAL "")
    set(user "$ENV{LOGNAME}")
  endif()
  message(WARNING "No packager found in DEBEMAIL or git; the packages' maintainer will be ${user}@${host}. "
                  "Set SONGRELAY_MAINTAINER to an address that reaches you.")
  set(${result} "${user} <${user}@${host}>" PARENT_SCOPE)
endfunction()

if(NOT DEFINED SONGRELAY_MAINTAINER)
  songrelay_default_maintainer(default_maintainer)
  set(SONGRELAY_MAINTAINER "${default_maintainer}" CACHE STRING
      "Maintainer of the Debian packages, as \"Name <address>\"")
  message(STATUS "Package maintainer (SONGRELAY_MAINTAINER): ${SONGRELAY_MAINTAINER}")
endif()

# The manual pages as installed: the footer names this version whatever the
# source says, and they are compressed as Debian wants (gzip -9, no name or
# time stamp inside, so that two builds give the same bytes).
find_program(SONGRELAY_GZIP gzip REQUIRED)
set(SONGRELAY_INSTALLED_PAGES)

# Adds the build rules of one installed page: page is the name without ".1".
function(songrelay_man_page page)
  set(source ${CMAKE_SOURCE_DIR}/man/${page}.1)
  set(built ${CMAKE_BINARY_DIR}/man/${page}.1)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  string(REGEX REPLACE "\n\\.Os[^\n]*" "\n.Os songrelay ${PROJECT_VERSION}" text "${text}")
  file(WRITE ${built}.tmp "${text}")
  configure_file(${built}.tmp ${built} COPYONLY)
  add_custom_command(OUTPUT ${built}.gz COMMAND ${SONGRELAY_GZIP} -9nkf ${built} DEPENDS ${built} VERBATIM)
  set(SONGRELAY_INSTALLED_PAGES ${SONGRELAY_INSTALLED_PAGES} ${built}.gz PARENT_SCOPE)
endfunction()

# The Debian changelog, compressed like the pages.
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                   COMMAND ${SONGRELAY_GZIP} -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog
                   DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)

# Installs one program with its page, copyright file and changelog as the
# component (and package) of that name.
function(songrelay_install_program program component)
  songrelay_man_page(${program})
  set(SONGRELAY_INSTALLED_PAGES ${SONGRELAY_INSTALLED_PAGES} PARENT_SCOPE)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${program})
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  install(FILES ${CMAKE_BINARY_DIR}/man/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${component})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${docdir} COMPONENT ${component})
endfunction()

songrelay_install_program(songrelay player)
set(SONGRELAY_COMPONENTS player)
if(TARGET songrelay-monitor)
  songrelay_install_program(songrelay-monitor monitor)
  list(APPEND SONGRELAY_COMPONENTS monitor)
endif()
add_custom_target(installed-docs ALL DEPENDS ${SONGRELAY_INSTALLED_PAGES} ${CMAKE_BINARY_DIR}/packaging/changelog.gz)

set(CPACK_PACKAGE_NAME songrelay)
set(CPACK_PACKAGE_VENDOR "The songrelay developers")
set(CPACK_PACKAGE_CONTACT "${SONGRELAY_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_COMPONENTS_ALL ${SONGRELAY_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SONGRELAY_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Each package's dependencies come from its own programs' libraries; each
# description's first line is its summary.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PLAYER_PACKAGE_NAME songrelay)
set(CPACK_DEBIAN_PLAYER_PACKAGE_SUGGESTS songrelay-monitor)
set(CPACK_DEBIAN_PLAYER_DESCRIPTION
    "Standard MIDI File player for raw MIDI device nodes
songrelay plays a Standard MIDI File in real time on up to four raw MIDI
device nodes, such as the ports of a USB MIDI interface, from a terminal.
It sends a GM, GS or XG reset ahead of the song, shows the song's title,
lyrics and markers in the terminal's encoding, and silences every channel
when it is interrupted.")

set(CPACK_DEBIAN_MONITOR_PACKAGE_NAME songrelay-monitor)
# A monitor built without libfluidsynth decodes only; the description says
# what this build's monitor does.
if(MONITOR_SYNTH_LIBRARY)
  # Without a General MIDI SoundFont the synthesizer has nothing to play
  # with; the small one first, any other that the distribution offers as an
  # alternative.
  set(CPACK_DEBIAN_MONITOR_PACKAGE_RECOMMENDS "timgm6mb-soundfont | sf2-soundfont-gm")
  set(CPACK_DEBIAN_MONITOR_DESCRIPTION
      "virtual raw MIDI ports that decode and sound what they receive
songrelay-monitor makes FIFOs named as raw MIDI device nodes, prints each
MIDI message written to them, decoded, with its time and port, and sounds
it on a SoundFont synthesizer, a General MIDI module for each port, through
the sound card or into a WAV file, so that songrelay can be tried, heard
and tested without MIDI hardware.")
else()
  set(CPACK_DEBIAN_MONITOR_DESCRIPTION
      "virtual raw MIDI ports that show every message sent to them
songrelay-monitor makes FIFOs named as raw MIDI device nodes and prints
each MIDI message written to them, decoded, with its time and port, so
that songrelay can be tried and tested without MIDI hardware.")
endif()

include(CPack)
