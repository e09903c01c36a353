# Debian packages of the host build, one per install component
# (cmake --workflow --preset deb, or cpack --preset deb after a build):
#   libek-brd1     runtime: libek_brd.so.1
#   libek-brd-dev  dev: header, .so link, pkg-config file, CMake package
#   ek-brd-host    host: libek_db.so, libek_platform.so, brdctl, its man page and completion
# Dependencies on other packages come from dpkg-shlibdeps; only those between
# these three are written here, since dpkg-shlibdeps cannot see a package
# that is built alongside.

if(NOT TARGET brdctl)
  message(FATAL_ERROR "the Debian packages need the host platform and brdctl")
endif()

# The package revision (the N of 1.0.0-N) comes from the top entry of the
# Debian changelog, which must be for this upstream version.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog EK_DEB_TOP LIMIT_COUNT 1)
if(NOT EK_DEB_TOP MATCHES "^ek-brd \\(${PROJECT_VERSION}-([0-9]+)\\)")
  message(FATAL_ERROR "cmake/debian/changelog: the top entry is not for ${PROJECT_VERSION}-N")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})
set(EK_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})

# In /usr/lib/<triplet> the loader finds every library; Debian allows no RUNPATH.
set_target_properties(ek_brd brdctl PROPERTIES EK_INSTALL_RPATH "")

# Each package carries its copyright file and the changelog, compressed
# without a timestamp.
execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(pair runtime:libek-brd1 dev:libek-brd-dev host:ek-brd-host)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  # What lintian warns of and is meant, each with its reason.
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/${package}.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
# CPack's own default, which it does not put in front of each package's
# synopsis as it would the project's description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev host)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# brdctl needs libek_brd.so.1 and libek_brd.so.1 needs libek_db.so, each in
# another package: dpkg-shlibdeps reads them from the build tree.
get_target_property(EK_DEB_LIB_DIR ek_brd BINARY_DIR)
get_target_property(EK_DEB_HOST_DIR ek_db BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${EK_DEB_LIB_DIR} ${EK_DEB_HOST_DIR})
# Only libek_brd.so.1 has a versioned SONAME: its shlibs file is written
# here, since CPack would generate one for every package and warn about the
# host libraries, whose SONAMEs the platform fixes without a version.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
file(WRITE ${PROJECT_BINARY_DIR}/deb-control/shlibs
     "libek_brd ${PROJECT_VERSION_MAJOR} libek-brd1 (>= ${EK_DEB_VERSION})\n")
# Control files get 0644 (scripts 0755) whatever the mode of the file they
# are copied from: a checkout made under umask 002 has a 0664 triggers file.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SOURCE ek-brd)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(EK_BRD_DEB_MAINTAINER "libek_brd developers <ek-brd@example.com>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${EK_BRD_DEB_MAINTAINER})

# Both packages with libraries in the loader's directories refresh its cache
# through dpkg's ldconfig trigger; the ldconfig calls CPack writes into their
# maintainer scripts are taken out after the build.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers
                                               ${PROJECT_BINARY_DIR}/deb-control/shlibs)
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/post-build.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# libek_brd.so.1 needs libek_db.so, which the platform provides: ek-brd-host
# on a development machine, the platform's own library on a device. So the
# library package recommends ek-brd-host and depends on neither.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "ek-brd-host (= ${EK_DEB_VERSION})")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "shared state of the router platform's brd component - library
libek_brd.so.1 reaches the routing and CPE shared-memory segments, the
WAN-interface database, the NAT policy table and the USB modem stores of the
brd component. It loads only with the platform's libraries present: on a
development machine the host implementation of the platform services in
ek-brd-host.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libek-brd1 (= ${EK_DEB_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "shared state of the router platform's brd component - development files
The C header ek_brd.h, the libek_brd.so link, the pkg-config file ek_brd.pc
and the CMake package ek_brd (imported target ek_brd::ek_brd).")

set(CPACK_DEBIAN_HOST_PACKAGE_SECTION utils)
# brdctl is linked against libek_brd.so.1.
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "libek-brd1 (= ${EK_DEB_VERSION})")
set(CPACK_COMPONENT_HOST_DESCRIPTION
    "brdctl and the host implementation of the router platform services
brdctl shows and changes the brd component's shared state from a shell.
libek_db.so and libek_platform.so implement on a development machine the
database and process services that the router platform provides on a device.")

include(CPack)
