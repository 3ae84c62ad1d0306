# Installing the library for other programs: the shared library, its header,
# a pkg-config file (vaultrun.pc) and a CMake package, so that a host builds
# with either
#   cc host.c $(pkg-config --cflags --libs vaultrun)
# or
#   find_package(vaultrun 1.0 REQUIRED)
#   target_link_libraries(host PRIVATE vaultrun::vaultrun)
# The command-line host is installed beside it when it is built.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VAULTRUN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vaultrun)

# Inside this build, the same name that installed copies offer.
add_library(vaultrun::vaultrun ALIAS kestrova-vaultrun)
set_target_properties(kestrova-vaultrun PROPERTIES EXPORT_NAME vaultrun)

install(TARGETS kestrova-vaultrun EXPORT vaultrunTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/vaultrun.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT vaultrunTargets
  NAMESPACE vaultrun::
  FILE vaultrunTargets.cmake
  DESTINATION ${VAULTRUN_CMAKE_DIR})

set(config_in ${CMAKE_BINARY_DIR}/vaultrunConfig.cmake.in)
file(WRITE ${config_in} [=[
@PACKAGE_INIT@
# Imported target: vaultrun::vaultrun (the shared library kestrova-vaultrun
# and the directory of vaultrun.h).
include("${CMAKE_CURRENT_LIST_DIR}/vaultrunTargets.cmake")
check_required_components(vaultrun)
]=])
configure_package_config_file(${config_in} ${CMAKE_BINARY_DIR}/vaultrunConfig.cmake
  INSTALL_DESTINATION ${VAULTRUN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vaultrunConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vaultrunConfig.cmake ${CMAKE_BINARY_DIR}/vaultrunConfigVersion.cmake
  DESTINATION ${VAULTRUN_CMAKE_DIR})

# pkg-config: the prefix is filled in when installing, because
# `cmake --install --prefix P` chooses it only then.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(pc_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(pc_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
set(pc_in ${CMAKE_BINARY_DIR}/vaultrun.pc.in)
file(WRITE ${pc_in} "prefix=@PC_PREFIX@
exec_prefix=\${prefix}
libdir=${pc_LIBDIR}
includedir=${pc_INCLUDEDIR}

Name: vaultrun
Description: Backs up SQL Server databases over TDS 7.4 for a host program
Version: ${PROJECT_VERSION}
Libs: -L\${libdir} -lkestrova-vaultrun
Cflags: -I\${includedir}
")
install(CODE "
  set(PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${pc_in}\" \"${CMAKE_BINARY_DIR}/vaultrun.pc\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/vaultrun.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The command-line host finds the library it came with, wherever the
# prefix is.
if(TARGET vaultrun)
  if(NOT IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(vaultrun PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  else()
    set_target_properties(vaultrun PROPERTIES INSTALL_RPATH "${CMAKE_INSTALL_FULL_LIBDIR}")
  endif()
  install(TARGETS vaultrun RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
