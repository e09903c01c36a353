# What `cmake --install` lays out for users of libek_brd:
#   lib/libek_brd.so.1 (+ libek_brd.so)                   component runtime (link: dev)
#   include/ek_brd.h, lib/pkgconfig/ek_brd.pc,
#   lib/cmake/ek_brd/ (config, version, targets)           component dev
#   host platform libraries, bin/brdctl, ek_brd-platform.pc,
#   lib/cmake/ek_brd/ek_brdHostTargets*.cmake              component host
# A router image takes the runtime component only: the router has the
# platform's own libek_db.so and process services.
include(CMakePackageConfigHelpers)

set(EK_BRD_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ek_brd)

# Installed next to libek_db.so, the library finds it without help.
set_target_properties(ek_brd PROPERTIES INSTALL_RPATH "$ORIGIN")

# The include directory comes from the target's INSTALL_INTERFACE alone.
install(TARGETS ek_brd EXPORT ek_brdTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT ek_brdTargets NAMESPACE ek_brd:: DESTINATION ${EK_BRD_CMAKE_INSTALL_DIR}
  COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ek_brdConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ek_brdConfig.cmake
  INSTALL_DESTINATION ${EK_BRD_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ek_brdConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ek_brdConfig.cmake ${PROJECT_BINARY_DIR}/ek_brdConfigVersion.cmake
  DESTINATION ${EK_BRD_CMAKE_INSTALL_DIR} COMPONENT dev)

# The host platform as imported targets ek_brd::platform and ek_brd::db,
# installed with the host component: the config file includes them when
# they are there (find_package(ek_brd COMPONENTS host) requires them).
# A program calls nothing in libek_platform.so, so ek_brd::platform wraps
# the library (ek_brd::platform_library) in --no-as-needed and restores the
# linker's state after it: the libraries that follow are dropped when unused
# as they would be without it. The build tree's option, which would hold for
# every library on the link line, stays out of the installed target.
if(TARGET ek_platform)
  set_target_properties(ek_platform PROPERTIES EXPORT_NAME platform_library)
  set_property(TARGET ek_platform PROPERTY INTERFACE_LINK_OPTIONS "$<BUILD_INTERFACE:-Wl,--no-as-needed>")
  add_library(ek_platform_installed INTERFACE)
  set_target_properties(ek_platform_installed PROPERTIES EXPORT_NAME platform)
  target_link_libraries(ek_platform_installed INTERFACE
    "$<INSTALL_INTERFACE:-Wl,--push-state,--no-as-needed;ek_brd::platform_library;-Wl,--pop-state>")
  install(TARGETS ek_db ek_platform ek_platform_installed EXPORT ek_brdHostTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT host)
  install(EXPORT ek_brdHostTargets NAMESPACE ek_brd:: DESTINATION ${EK_BRD_CMAKE_INSTALL_DIR}
    COMPONENT host)
endif()

# The .pc files name the prefix they are installed into (pkg-config would
# print a ${pcfiledir}-relative prefix as .../lib/pkgconfig/../..), so they
# are written at install time, when `cmake --install --prefix` is known.
# pkg-config --define-prefix still relocates a moved tree.
set(EK_PC_PREFIX "@EK_PC_PREFIX@")
foreach(pc IN ITEMS ek_brd ek_brd-platform)
  if(pc STREQUAL "ek_brd")
    set(component dev)
  elseif(TARGET ek_platform)
    set(component host)
  else()
    continue()
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc.in @ONLY)
  # The directory by an install rule, with its modes; the file with its own.
  install(DIRECTORY DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${component})
  install(CODE "
    set(EK_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_BINARY_DIR}/${pc}.pc.in\"
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/${pc}.pc\" @ONLY
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/${pc}.pc\")"
    COMPONENT ${component})
endforeach()
