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
endif()
