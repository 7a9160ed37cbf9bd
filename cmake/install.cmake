# What `cmake --install` puts in place: the library with its headers, the stand-ins, vivozi and
# its sample sets, and the two ways for another build to find the library (a CMake package and
# a pkg-config file). Every installed path is relative to the prefix, so a tree installed with
# --prefix elsewhere, or moved, still works.
include(CMakePackageConfigHelpers)

# The public headers need C++20 (defaulted comparisons); a consumer gets that with the target.
target_compile_features(VivoziZevidodirid INTERFACE cxx_std_20)

set(VZ_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VivoziZevidodirid)

install(TARGETS VivoziZevidodirid EXPORT VivoziZevidodiridTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/VivoziZevidodirid DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(VZ_STANDIN_TARGETS)
    install(TARGETS ${VZ_STANDIN_TARGETS} RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/VivoziZevidodirid)
endif()

install(EXPORT VivoziZevidodiridTargets
    NAMESPACE VivoziZevidodirid::
    DESTINATION ${VZ_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VivoziZevidodiridConfig.cmake.in
    ${CMAKE_BINARY_DIR}/VivoziZevidodiridConfig.cmake
    INSTALL_DESTINATION ${VZ_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VivoziZevidodiridConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VivoziZevidodiridConfig.cmake
              ${CMAKE_BINARY_DIR}/VivoziZevidodiridConfigVersion.cmake
    DESTINATION ${VZ_CMAKE_PACKAGE_DIR})

# pkg-config finds the prefix from where the file lies (${pcfiledir}).
file(RELATIVE_PATH VZ_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VZ_PC_TO_PREFIX "${VZ_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/VivoziZevidodirid.pc.in
    ${CMAKE_BINARY_DIR}/VivoziZevidodirid.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/VivoziZevidodirid.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET vivozi)
    install(TARGETS vivozi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(DIRECTORY examples/periodic
        DESTINATION ${CMAKE_INSTALL_DATADIR}/VivoziZevidodirid/examples
        USE_SOURCE_PERMISSIONS)
    install(FILES man/vivozi.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    # Where bash-completion looks up a command's completion when it is first asked for.
    install(FILES cli/completion/vivozi.bash
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vivozi)

    # systemd looks in /usr/lib/systemd/system and /usr/local/lib/systemd/system: lib/, not the
    # multiarch library folder. The service names vivozi by the prefix it is installed under,
    # known only at install time (cmake --install --prefix).
    set(VZ_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
        "Where the systemd units go, relative to the prefix")
    set(unit_sources ${CMAKE_SOURCE_DIR}/cli/systemd)
    set(unit_built ${CMAKE_BINARY_DIR}/systemd)
    install(CODE "
        set(VIVOZI_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vivozi\")
        configure_file(\"${unit_sources}/vivozi-run@.service.in\"
                       \"${unit_built}/vivozi-run@.service\" @ONLY)")
    install(FILES ${unit_built}/vivozi-run@.service ${unit_sources}/vivozi-daily.timer
                  ${unit_sources}/vivozi-weekly.timer ${unit_sources}/vivozi-monthly.timer
            DESTINATION ${VZ_SYSTEMD_UNIT_DIR})
endif()
