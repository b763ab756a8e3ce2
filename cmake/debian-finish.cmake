# debian-finish.cmake: run by CPack after it made the Debian packages
# (CPACK_POST_BUILD_SCRIPTS), for what CPack's DEB generator cannot say:
#   - the Multi-Arch field, for each package that CPACK_NORVEX_MULTI_ARCH
#     names ("package=same;package=foreign");
#   - no maintainer scripts in a package that activates the ldconfig trigger:
#     CPack writes a postinst and a postrm that only call ldconfig whenever a
#     shared library lies under /usr/lib, which the trigger already does.
# A package that needs a change is unpacked and built again with dpkg-deb,
# its files, their modes and owners (root) unchanged.
find_program(DPKG_DEB dpkg-deb REQUIRED)

# True when `script` does nothing but call ldconfig, as CPack writes it.
function(only_calls_ldconfig script result)
  file(READ ${script} text)
  string(REGEX REPLACE "#![^\n]*\n|set -e\n|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n|\tldconfig\n|fi\n?|\n" "" rest "${text}")
  if(rest STREQUAL "" AND text MATCHES "ldconfig")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

foreach(deb ${CPACK_PACKAGE_FILES})
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  execute_process(COMMAND ${DPKG_DEB} --field ${deb} Package OUTPUT_VARIABLE package
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)

  set(multiArch "")
  foreach(entry ${CPACK_NORVEX_MULTI_ARCH})
    if(entry MATCHES "^${package}=(.+)$")
      set(multiArch ${CMAKE_MATCH_1})
    endif()
  endforeach()
  file(READ ${tree}/DEBIAN/control control)
  if(NOT multiArch STREQUAL "" AND NOT control MATCHES "(^|\n)Multi-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: ${multiArch}\n" control "${control}")
    if(NOT control MATCHES "\nMulti-Arch: ${multiArch}\n")
      message(FATAL_ERROR "debian-finish.cmake: ${package}'s control file has no Architecture line")
    endif()
    file(WRITE ${tree}/DEBIAN/control "${control}")
    set(changed TRUE)
    message(STATUS "${package}: Multi-Arch: ${multiArch}")
  endif()

  if(EXISTS ${tree}/DEBIAN/triggers)
    file(READ ${tree}/DEBIAN/triggers triggers)
    if(triggers MATCHES "(^|\n)activate-noawait ldconfig\n")
      foreach(script postinst postrm)
        if(EXISTS ${tree}/DEBIAN/${script})
          only_calls_ldconfig(${tree}/DEBIAN/${script} ldconfigOnly)
          if(ldconfigOnly)
            file(REMOVE ${tree}/DEBIAN/${script})
            set(changed TRUE)
            message(STATUS "${package}: no ${script} (the ldconfig trigger runs ldconfig)")
          endif()
        endif()
      endforeach()
    endif()
  endif()

  if(changed)
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
