# The manual pages and the bash completion, written at build time by the
# programs from their own command lines and the catalogue:
#   ifa-agent.1       ifa-agent manpage
#   ifa-inspect.1     ifa-inspect manpage
#   ifa-agent.conf.5  ifa-config-reference --man (the generator of
#                     docs/configuration.md too)
#   ifa-agent         ifa-agent completion bash
# into BUILD/share/, gzip'd without a time stamp as Debian wants them.
set(IFA_MAN_DIR ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_DATAROOTDIR}/man)
set(IFA_COMPLETION_DIR ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)

set(IFA_MAN_PAGES)
foreach(page ifa-agent.1:ifa-agent:manpage ifa-inspect.1:ifa-inspect:manpage
             ifa-agent.conf.5:ifa-config-reference:--man)
  string(REPLACE ":" ";" parts ${page})
  list(GET parts 0 name)
  list(GET parts 1 program)
  list(GET parts 2 argument)
  string(REGEX REPLACE ".*\\." "" section ${name})
  set(out ${IFA_MAN_DIR}/man${section}/${name}.gz)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${IFA_MAN_DIR}/man${section}
    COMMAND sh -c "\"$1\" $2 | gzip -9n > \"$3.tmp\" && mv \"$3.tmp\" \"$3\"" sh
            $<TARGET_FILE:${program}> ${argument} ${out}
    DEPENDS ${program}
    COMMENT "Writing the manual page ${name}"
    VERBATIM)
  list(APPEND IFA_MAN_PAGES ${out})
endforeach()
set(IFA_COMPLETION ${IFA_COMPLETION_DIR}/ifa-agent)
add_custom_command(
  OUTPUT ${IFA_COMPLETION}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${IFA_COMPLETION_DIR}
  COMMAND sh -c "\"$1\" completion bash > \"$2.tmp\" && mv \"$2.tmp\" \"$2\"" sh
          $<TARGET_FILE:ifa-agent> ${IFA_COMPLETION}
  DEPENDS ifa-agent
  COMMENT "Writing the bash completion of ifa-agent"
  VERBATIM)
add_custom_target(ifa-docs ALL DEPENDS ${IFA_MAN_PAGES} ${IFA_COMPLETION})
