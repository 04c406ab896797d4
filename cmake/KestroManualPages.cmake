# The programs' manual pages, written by help2man from what each built program's --help says
# (cmake/manual-page.sh), so that they never drift from it; installed under share/man/man1.
# Included by the top-level CMakeLists.txt after the programs.

find_program(KESTRO_HELP2MAN help2man)
if(NOT KESTRO_HELP2MAN)
  message(FATAL_ERROR "The manual pages are made with help2man, which is not installed: install "
    "Debian's help2man (make deps does), or configure with -DKESTRO_MANUAL_PAGES=OFF.")
endif()

set(KESTRO_MANUAL_PAGE_DIR "${PROJECT_BINARY_DIR}/man")
set(KESTRO_MANUAL_PAGE_PROGRAMS "")

# kestro_manual_page(<program target> <one-line description>): <program>.1 from the program's
# help, made when the program is built; nothing for a program this configuration leaves out.
function(kestro_manual_page target description)
  if(NOT TARGET ${target})
    return()
  endif()
  set(page "${KESTRO_MANUAL_PAGE_DIR}/${target}.1")
  add_custom_command(OUTPUT "${page}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${KESTRO_MANUAL_PAGE_DIR}"
    COMMAND bash "${PROJECT_SOURCE_DIR}/cmake/manual-page.sh" "$<TARGET_FILE:${target}>"
            "${PROJECT_VERSION}" "${description}" "${page}"
    DEPENDS ${target} "${PROJECT_SOURCE_DIR}/cmake/manual-page.sh"
    COMMENT "Writing the manual page ${target}(1)"
    VERBATIM)
  add_custom_target(${target}-manual-page ALL DEPENDS "${page}")
  if(KESTRO_INSTALL)
    install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  endif()
  set(KESTRO_MANUAL_PAGE_PROGRAMS ${KESTRO_MANUAL_PAGE_PROGRAMS} "$<TARGET_FILE:${target}>"
    PARENT_SCOPE)
endfunction()

kestro_manual_page(kestro "sign in to Kestro, send the captures shared on this device, and more")
kestro_manual_page(kestro-share "share files, web addresses and text into Kestro's outbox")
kestro_manual_page(kestro-browser-host "the Kestro browser extension's native-messaging host")
kestro_manual_page(kestro-devserver "a stand-in for the Kestro server, for development and tests")

if(KESTRO_BUILD_TESTS AND KESTRO_MANUAL_PAGE_PROGRAMS)
  # Every command and option a help lists is in the page, subcommands' too.
  add_test(NAME kestro.ManualPagesListEveryCommandAndOption
    COMMAND bash "${PROJECT_SOURCE_DIR}/cmake/check-manual-pages.sh" "${KESTRO_MANUAL_PAGE_DIR}"
            ${KESTRO_MANUAL_PAGE_PROGRAMS})
endif()
