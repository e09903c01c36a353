# Run paths of the targets that are installed. CMake would link them with
# their build directories followed by separators, room for the rewrite at
# install time; the loader reads that empty trailing entry as the working
# directory, so a build-tree brdctl started by root from /tmp would load a
# library planted there. Instead each is linked with exactly its build
# directories (BUILD_WITH_INSTALL_RPATH, the directories as INSTALL_RPATH)
# and the installed copy gets its real run path, EK_INSTALL_RPATH (set from
# the INSTALL_RPATH given before this file; cmake/EkDeb.cmake empties it),
# once it is in place. The build directories are absolute and longer than
# any run path set here, which the rewrite in place needs.
set(EK_RUNPATH_TARGETS
  "ek_brd|ek_db|${CMAKE_INSTALL_LIBDIR}|runtime"
  "ek_platform|ek_db|${CMAKE_INSTALL_LIBDIR}|host"
  "ek_db||${CMAKE_INSTALL_LIBDIR}|host"
  "brdctl|ek_brd,ek_db|${CMAKE_INSTALL_BINDIR}|host")
foreach(entry IN LISTS EK_RUNPATH_TARGETS)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 target)
  list(GET entry 1 needs)
  list(GET entry 2 destination)
  list(GET entry 3 component)
  if(NOT TARGET ${target})
    continue()
  endif()
  get_target_property(install_rpath ${target} INSTALL_RPATH)
  if(NOT install_rpath)
    set(install_rpath "")
  endif()
  set(build_rpath "")
  string(REPLACE "," ";" needs "${needs}")
  foreach(lib IN LISTS needs)
    if(TARGET ${lib})
      list(APPEND build_rpath "$<TARGET_FILE_DIR:${lib}>")
    endif()
  endforeach()
  if(NOT build_rpath AND install_rpath STREQUAL "")
    continue()  # no run path anywhere
  elseif(NOT build_rpath)
    set(build_rpath "$<TARGET_FILE_DIR:${target}>")  # room for the rewrite
  endif()
  set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON
                        INSTALL_RPATH "${build_rpath}" EK_INSTALL_RPATH "${install_rpath}")
  set(file "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>")
  install(CODE "
    set(rpath \"$<TARGET_PROPERTY:${target},EK_INSTALL_RPATH>\")
    if(rpath STREQUAL \"\")
      file(RPATH_REMOVE FILE \"${file}\")
    else()
      file(RPATH_SET FILE \"${file}\" NEW_RPATH \"\${rpath}\")
    endif()" COMPONENT ${component})
endforeach()
