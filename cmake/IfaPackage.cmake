# Debian packages, made by CPack from the install rules' components
# (cmake/IfaInstall.cmake):
#   ifa-swtables      the runtime component: libraries, chip plug-in, programs,
#                     man pages, completion, service files
#   ifa-swtables-dev  the dev component: headers, CMake package, pkg-config
#                     file; depends on ifa-swtables of the same version
# Each carries usr/share/doc/<package>/copyright (machine-readable, from
# LICENSE) and changelog.Debian.gz. Dependencies on other packages are
# computed by dpkg-shlibdeps. Files are stripped.
#
#   cpack -G DEB --config BUILD/CPackConfig.cmake -B OUTDIR
# (make deb does it for a Release build; make test for the build it has.)

set(IFA_DEB_RELEASE 1)
# The Debian changelog's one entry per release: its date is the release's,
# so that the same sources make the same packages.
execute_process(COMMAND date -u -R -d "${IFA_RELEASE_DATE} 12:00"
                OUTPUT_VARIABLE IFA_DEB_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
set(IFA_DEB_MAINTAINER "ifa-swtables maintainers <maintainers@ifa-swtables.example.org>")

set(_ifa_deb_dir ${PROJECT_BINARY_DIR}/debian)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _ifa_license)
# The licence text below "License: Expat", each line indented, empty lines
# written as " .".
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" _ifa_license_body "${_ifa_license}")
string(REGEX REPLACE "\n+$" "" _ifa_license_body "${_ifa_license_body}")
string(REPLACE "\n\n" "\n.\n" _ifa_license_body "${_ifa_license_body}")
string(REPLACE "\n" "\n " _ifa_license_body " ${_ifa_license_body}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ifa_copyright_line "${_ifa_license}")
set(_ifa_copyright_holder "${CMAKE_MATCH_1}")

foreach(component runtime dev)
  if(component STREQUAL "runtime")
    set(package ${PROJECT_NAME})
  else()
    set(package ${PROJECT_NAME}-${component})
  endif()
  set(IFA_DEB_PACKAGE ${package})
  set(IFA_DEB_COPYRIGHT_HOLDER "${_ifa_copyright_holder}")
  set(IFA_DEB_LICENSE_BODY "${_ifa_license_body}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in
                 ${_ifa_deb_dir}/${package}/copyright @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
                 ${_ifa_deb_dir}/${package}/changelog.Debian @ONLY)
  # gzip -n: no name or time stamp in the file, so it is the same every time.
  execute_process(COMMAND gzip -9nf ${_ifa_deb_dir}/${package}/changelog.Debian
                  RESULT_VARIABLE _ifa_gzip)
  if(NOT _ifa_gzip EQUAL 0)
    message(FATAL_ERROR "gzip ${_ifa_deb_dir}/${package}/changelog.Debian failed")
  endif()
  # Only in the packages: a plain install has LICENSE and CHANGELOG.md.
  install(FILES ${_ifa_deb_dir}/${package}/copyright
                ${_ifa_deb_dir}/${package}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/${package}.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# The project's CHANGELOG.md, as Debian names an upstream changelog.
execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/CHANGELOG.md
                OUTPUT_FILE ${_ifa_deb_dir}/changelog.gz RESULT_VARIABLE _ifa_gzip)
if(NOT _ifa_gzip EQUAL 0)
  message(FATAL_ERROR "gzip CHANGELOG.md failed")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md
             ${PROJECT_SOURCE_DIR}/LICENSE)
install(FILES ${_ifa_deb_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME}
        COMPONENT runtime EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The ifa-swtables authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${IFA_DEB_MAINTAINER}")
# Each package's description starts with its own summary line.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${IFA_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${IFA_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ifa-swtables.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own libraries, for dpkg-shlibdeps to find them beside the
# programs that use them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
# ldconfig runs through its trigger when the libraries change.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "software tables of a switch chip's IFA telemetry feature
The IFA (In-band Flow Analyzer) software tables: a C++ library of fourteen
tables that shadow the chip's IFA tables and registers and keep them in step
with the configuration across agent restarts, without wiping the hardware.
.
This package holds the libraries, the simulated chip's plug-in, ifa-agent
(which programs the tables from a configuration file) and ifa-inspect.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${PROJECT_NAME}-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${PROJECT_NAME} (= ${PROJECT_VERSION}-${IFA_DEB_RELEASE})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "software tables of a switch chip's IFA telemetry feature (development)
The IFA (In-band Flow Analyzer) software tables: a C++ library of fourteen
tables that shadow the chip's IFA tables and registers and keep them in step
with the configuration across agent restarts, without wiping the hardware.
.
This package holds the C++20 headers, the CMake package (find_package
ifa-swtables) and the pkg-config file, for building an agent that embeds
the tables.")

include(CPack)
