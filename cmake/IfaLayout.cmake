# Where the project's files go. The build tree mirrors the installed tree:
# programs in bin/, libraries in lib/, the chip plug-ins in the project's own
# plug-in directory under lib/, so that RUNPATHs and the agent's plug-in
# directory, all relative to the file that uses them, hold in both trees and
# in an installed tree moved elsewhere.
include(GNUInstallDirs)

foreach(dir CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
  if(IS_ABSOLUTE "${${dir}}")
    message(FATAL_ERROR "${dir} must be relative to the prefix (the installed tree is relocatable)")
  endif()
endforeach()

set(IFA_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/ifa-swtables)
set(IFA_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/ifa-swtables/chip-plugins)
set(IFA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ifa-swtables)
set(IFA_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/ifa-swtables)

file(RELATIVE_PATH IFA_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH IFA_PLUGINS_TO_LIB /${IFA_PLUGIN_DIR} /${CMAKE_INSTALL_LIBDIR})
string(REGEX REPLACE "/$" "" IFA_PLUGINS_TO_LIB "${IFA_PLUGINS_TO_LIB}")
file(RELATIVE_PATH IFA_LIB_TO_PLUGINS /${CMAKE_INSTALL_LIBDIR} /${IFA_PLUGIN_DIR})

# Before 1.0 a minor release may change the interface: the soname carries
# major.minor; from 1.0 on, the major version.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(IFA_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
else()
  set(IFA_SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

# A shared library of the package, exported as ifa::<exportName>.
function(ifa_library_layout target exportName)
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${exportName}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${IFA_SOVERSION}
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR}
    INSTALL_RPATH "$ORIGIN"
    BUILD_WITH_INSTALL_RPATH ON)
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# A program that is installed.
function(ifa_program_layout target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_BINDIR}
    INSTALL_RPATH "$ORIGIN/${IFA_BIN_TO_LIB}"
    BUILD_WITH_INSTALL_RPATH ON)
endfunction()

# A chip plug-in: alone in the project's plug-in directory.
function(ifa_plugin_layout target)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${IFA_PLUGIN_DIR}
    INSTALL_RPATH "$ORIGIN/${IFA_PLUGINS_TO_LIB}"
    BUILD_WITH_INSTALL_RPATH ON)
endfunction()

# An install rule that names no component installs into "runtime", what a
# switch runs: the Debian package ifa-swtables (cmake/IfaPackage.cmake).
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME runtime)
