# Installation, the Debian package and the checks of both: the three
# programs go to bin, their manual pages to man1, the licence to
# share/doc/nettally/copyright. Included at the end of the
# top-level CMakeLists.txt, after the targets and enable_testing().

include(GNUInstallDirs)

install(TARGETS nettally recdump netbill RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/tally/nettally.1 ${CMAKE_SOURCE_DIR}/dump/recdump.1
  ${CMAKE_SOURCE_DIR}/bill/netbill.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The licence, as share/doc/nettally/copyright in the machine-readable
# format that Debian packages carry, made from LICENSE so the two cannot
# drift: the licence text follows its License line with every line
# indented by one blank and an empty line written " .". LICENSE is read
# whole, not as a list of lines: the text has semicolons.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE NETTALLY_LICENSE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
# The copyright line and the empty line after it: the Copyright field says it.
set(NETTALLY_COPYRIGHT_LINE "Copyright (c) 2026 the nettally authors\n\n")
string(FIND "${NETTALLY_LICENSE}" "${NETTALLY_COPYRIGHT_LINE}" NETTALLY_AT)
if(NOT NETTALLY_AT EQUAL 0)
  message(FATAL_ERROR "LICENSE must start with the line \"Copyright (c) 2026 the nettally authors\" and an empty line")
endif()
string(LENGTH "${NETTALLY_COPYRIGHT_LINE}" NETTALLY_AT)
string(SUBSTRING "${NETTALLY_LICENSE}" ${NETTALLY_AT} -1 NETTALLY_LICENSE)
string(REGEX REPLACE "\n$" "" NETTALLY_LICENSE "${NETTALLY_LICENSE}")
string(REPLACE "\n" "\n " NETTALLY_LICENSE " ${NETTALLY_LICENSE}\n")
# Twice: a match ends on the line end that the next empty line starts with.
string(REPLACE "\n \n" "\n .\n" NETTALLY_LICENSE "${NETTALLY_LICENSE}")
string(REPLACE "\n \n" "\n .\n" NETTALLY_LICENSE "${NETTALLY_LICENSE}")
set(NETTALLY_COPYRIGHT "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: nettally

Files: *
Copyright: 2026 the nettally authors
License: BSD-2-Clause
${NETTALLY_LICENSE}")
set(NETTALLY_COPYRIGHT_FILE ${CMAKE_BINARY_DIR}/copyright)
file(CONFIGURE OUTPUT ${NETTALLY_COPYRIGHT_FILE} CONTENT "${NETTALLY_COPYRIGHT}" @ONLY)
install(FILES ${NETTALLY_COPYRIGHT_FILE} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# `cpack -G DEB` in the build directory makes nettally_<version>_<arch>.deb.
set(NETTALLY_PACKAGE_MAINTAINER "nettally maintainers <nettally@example.org>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME nettally)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "nettally maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "per-address traffic tally and dump of flow files")
set(CPACK_PACKAGE_DESCRIPTION [=[
nettally reads the flow files that a flow collector writes and tells, for
every single address of the operator's networks, how many bytes and
packets it exchanged with the outside world and with the operator's other
addresses, when, and which customer holds it. netbill turns the same flow
files into each customer's 95th-percentile bill, with a series of its
traffic per interval and a graph. recdump prints one flow file in readable
form.]=])
set(CPACK_PACKAGE_CONTACT "${NETTALLY_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NETTALLY_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps debug information; the package does not need it.
set(CPACK_STRIP_FILES ON)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # What the g++ 12 build of Debian 12 needs; dpkg-shlibdeps, where present,
  # finds the exact versions instead.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12)")
endif()
# Debian ships manual pages compressed with gzip -9n; `cmake --install`
# leaves them as they are.
find_program(GZIP gzip)
if(GZIP)
  set(NETTALLY_COMPRESS_MAN ${CMAKE_BINARY_DIR}/compress_man_pages.cmake)
  file(WRITE ${NETTALLY_COMPRESS_MAN} "
file(GLOB_RECURSE pages \"\${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1\")
list(FILTER pages INCLUDE REGEX \"/man/man1/[^/]+[.]1$\")
if(NOT pages)
  message(FATAL_ERROR \"no manual pages under \${CPACK_TEMPORARY_INSTALL_DIRECTORY}\")
endif()
foreach(page \${pages})
  execute_process(COMMAND \"${GZIP}\" -9n \"\${page}\" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR \"gzip -9n \${page} failed\")
  endif()
endforeach()
")
  set(CPACK_PRE_BUILD_SCRIPTS ${NETTALLY_COMPRESS_MAN})
endif()
include(CPack)

if(NETTALLY_TESTS)
  # Installs into a temporary prefix, checks that exactly the three programs,
  # their pages and the copyright file arrive, and that the installed
  # programs print on the bundled example what the built ones print.
  add_test(NAME install
    COMMAND ${CMAKE_SOURCE_DIR}/tests/install_test.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
            $<TARGET_FILE:nettally> $<TARGET_FILE:recdump> $<TARGET_FILE:netbill> ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}
            ${CMAKE_INSTALL_DOCDIR} "$<CONFIG>")
  set_tests_properties(install PROPERTIES TIMEOUT 120)

  # The manual pages must pass mandoc's lint without a single message.
  # References to other pages are left out: whether those are found depends
  # on which pages the machine has installed, not on ours.
  find_program(MANDOC mandoc)
  if(MANDOC)
    add_test(NAME man_lint
      COMMAND sh -c "out=$(\"$0\" -T lint \"$@\" 2>&1 | grep -v -e 'referenced manual not found' -e 'mandoc.db lacks'); if [ -n \"$out\" ]; then printf '%s\\n' \"$out\"; exit 1; fi"
              ${MANDOC} ${CMAKE_SOURCE_DIR}/tally/nettally.1 ${CMAKE_SOURCE_DIR}/dump/recdump.1
              ${CMAKE_SOURCE_DIR}/bill/netbill.1)
  endif()
endif()
