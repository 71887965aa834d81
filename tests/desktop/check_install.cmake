# Installs the build into a fresh prefix and checks that desktops will find
# Sonvel there: every file in its standard place, and the desktop entry and
# AppStream metadata accepted by their validators. With DEB set, also builds
# the .deb and checks what it would install.
#
#   cmake -DBUILD=<build dir> -DWORK=<scratch dir> [-DDEB=ON] -P check_install.cmake

set(id app.velmorra.Sonvel)
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
  RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
  message(FATAL_ERROR "cmake --install failed")
endif()

set(expected bin/sonvel bin/sonvelctl share/applications/${id}.desktop
  share/metainfo/${id}.metainfo.xml share/sonvel/worlds/default.json)
foreach(size 16 22 24 32 48 64 128 256)
  list(APPEND expected share/icons/hicolor/${size}x${size}/apps/${id}.png)
endforeach()
foreach(state active paused locked)
  list(APPEND expected share/icons/hicolor/symbolic/apps/${id}-${state}-symbolic.svg)
endforeach()
foreach(file ${expected})
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

find_program(desktop_validate desktop-file-validate)
find_program(appstreamcli appstreamcli)
if(NOT desktop_validate OR NOT appstreamcli)
  message(FATAL_ERROR "desktop-file-validate (desktop-file-utils) and appstreamcli (appstream) are needed")
endif()
execute_process(COMMAND ${desktop_validate} ${prefix}/share/applications/${id}.desktop
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "desktop-file-validate refused the desktop entry")
endif()
execute_process(COMMAND ${appstreamcli} validate --no-net ${prefix}/share/metainfo/${id}.metainfo.xml
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "appstreamcli refused the AppStream metadata")
endif()

if(DEB)
  execute_process(COMMAND cpack -G DEB -B ${WORK}/deb WORKING_DIRECTORY ${BUILD}
    RESULT_VARIABLE failed OUTPUT_QUIET)
  file(GLOB debs ${WORK}/deb/*.deb)
  if(failed OR NOT debs)
    message(FATAL_ERROR "cpack did not build a .deb")
  endif()
  execute_process(COMMAND dpkg-deb -c ${debs} OUTPUT_VARIABLE contents RESULT_VARIABLE failed)
  foreach(file ${expected})
    if(failed OR NOT contents MATCHES "\\./usr/${file}\n")
      message(FATAL_ERROR "the .deb does not install /usr/${file}")
    endif()
  endforeach()
endif()
