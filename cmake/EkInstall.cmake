# What `cmake --install` lays out for users of libek_brd:
#   lib/libek_brd.so.1 (+ libek_brd.so)                   component runtime (link: dev)
#   include/ek_brd.h, lib/pkgconfig/ek_brd.pc,
#   lib/cmake/ek_brd/ (config, version, targets)           component dev
#   host platform libraries and bin/brdctl                 component host
# A router image takes the runtime component only: the router has the
# platform's own libek_db.so and process services.
include(CMakePackageConfigHelpers)

set(EK_BRD_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ek_brd)

# Installed next to libek_db.so, the library finds it without help.
set_target_properties(ek_brd PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS ek_brd EXPORT ek_brdTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT ek_brdTargets NAMESPACE ek_brd:: DESTINATION ${EK_BRD_CMAKE_INSTALL_DIR}
  COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ek_brdConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ek_brdConfig.cmake
  INSTALL_DESTINATION ${EK_BRD_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ek_brdConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ek_brdConfig.cmake ${PROJECT_BINARY_DIR}/ek_brdConfigVersion.cmake
  DESTINATION ${EK_BRD_CMAKE_INSTALL_DIR} COMPONENT dev)

# The .pc file finds its prefix from its own place, so a staged tree
# (build/mips-stage/usr) works wherever it is copied.
file(RELATIVE_PATH EK_PC_PREFIX_FROM_PCDIR
  /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" EK_PC_PREFIX_FROM_PCDIR "${EK_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/ek_brd.pc.in ${PROJECT_BINARY_DIR}/ek_brd.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ek_brd.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
