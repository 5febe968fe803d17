# Install rules: the libraries, the chip plug-in in the project's plug-in
# directory, the programs, the public headers under include/ifa-swtables/, the
# CMake package (ifa::platform, ifa::swtables, ifa::host) and the pkg-config
# file. Every path inside the installed tree is relative, so the tree may be
# moved.
#
# Two components, one Debian package each (cmake/IfaPackage.cmake): runtime,
# what a switch runs (the default component of every install rule, see
# cmake/IfaLayout.cmake), and dev, what building against the libraries needs.
include(CMakePackageConfigHelpers)

# Shared libraries are not executable (mode 0644).
set(IFA_LIBRARY_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS ifa-platform ifa-swtables ifa-host EXPORT ifa-swtablesTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} PERMISSIONS ${IFA_LIBRARY_PERMISSIONS}
        COMPONENT runtime NAMELINK_COMPONENT dev)
install(TARGETS ifa-sim-chip LIBRARY DESTINATION ${IFA_PLUGIN_DIR}
        PERMISSIONS ${IFA_LIBRARY_PERMISSIONS} COMPONENT runtime)
if(TARGET ifa-agent)
  install(TARGETS ifa-agent ifa-inspect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT runtime)
  install(DIRECTORY ${IFA_MAN_DIR} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR} COMPONENT runtime)
  install(FILES ${IFA_COMPLETION}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions COMPONENT runtime)
  # The agent's systemd unit, its ExecStart naming the program under the
  # prefix configured (systemd needs a whole path there).
  configure_file(${PROJECT_SOURCE_DIR}/agent/ifa-agent.service.in
                 ${PROJECT_BINARY_DIR}/ifa-agent.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/ifa-agent.service DESTINATION lib/systemd/system
          COMPONENT runtime)
  # ifa-inspect's sample entry files.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/samples/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/ifa-swtables/samples COMPONENT runtime)
endif()

# The headers keep the layout of the source tree, so that the same #include
# lines work in both: the platform stand-ins' <Kiva/...>, <Orrin/...>, and
# "runtime/...", "tables/...", "AsicSwTable/...", "host/...".
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/ DESTINATION ${IFA_INCLUDE_DIR} COMPONENT dev
        FILES_MATCHING PATTERN "*.h" PATTERN "*.def")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/runtime ${PROJECT_SOURCE_DIR}/tables
                  ${PROJECT_SOURCE_DIR}/AsicSwTable ${PROJECT_SOURCE_DIR}/host
        DESTINATION ${IFA_INCLUDE_DIR} COMPONENT dev
        FILES_MATCHING PATTERN "*.h" PATTERN "*.def")
install(FILES ${PROJECT_BINARY_DIR}/generated/IfaSwTablesVersion.h
              ${PROJECT_BINARY_DIR}/generated/IfaTableHeaders.h DESTINATION ${IFA_INCLUDE_DIR}
        COMPONENT dev)

# find_package(ifa-swtables): before 1.0 a minor release may change the
# interface, so only the same major.minor is compatible.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(IFA_COMPATIBILITY SameMinorVersion)
else()
  set(IFA_COMPATIBILITY SameMajorVersion)
endif()
install(EXPORT ifa-swtablesTargets NAMESPACE ifa:: DESTINATION ${IFA_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ifa-swtablesConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/ifa-swtablesConfig.cmake
                              INSTALL_DESTINATION ${IFA_CMAKE_DIR}
                              PATH_VARS IFA_PLUGIN_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ifa-swtablesConfigVersion.cmake
                                 COMPATIBILITY ${IFA_COMPATIBILITY})
install(FILES ${PROJECT_BINARY_DIR}/ifa-swtablesConfig.cmake
              ${PROJECT_BINARY_DIR}/ifa-swtablesConfigVersion.cmake
        DESTINATION ${IFA_CMAKE_DIR} COMPONENT dev)

# pkg-config: the prefix is found from the .pc file's own directory.
set(IFA_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH IFA_PKGCONFIG_TO_PREFIX /${IFA_PKGCONFIG_DIR} /)
string(REGEX REPLACE "/$" "" IFA_PKGCONFIG_TO_PREFIX "${IFA_PKGCONFIG_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/ifa-swtables.pc.in ${PROJECT_BINARY_DIR}/ifa-swtables.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ifa-swtables.pc DESTINATION ${IFA_PKGCONFIG_DIR} COMPONENT dev)

# The licence and the changelog go in a component of their own: a Debian
# package has them as its copyright file and changelog.gz instead.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${IFA_DOC_DIR} COMPONENT notices)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${IFA_DOC_DIR} COMPONENT runtime)
# The pages the README links to, beside it, so that its links hold installed.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${IFA_DOC_DIR} COMPONENT runtime
        FILES_MATCHING PATTERN "*.md")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/embed DESTINATION ${IFA_DOC_DIR}/examples
        COMPONENT dev)
