# Helpers that make a layer's library or a program part of the installed package.
include(GNUInstallDirs)

# kestrix_package_library(TARGET)
# Called in a layer folder (platform/, camera/, ...) after add_library: gives the library its
# include path as a usage requirement, the alias kestrix::<folder>, and installs it with the
# folder's headers under include/kestrix/<folder>, so that code includes "camera/C1394Dcam.h"
# both in the source tree and from an install.
function(kestrix_package_library target)
  get_filename_component(layer ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/kestrix>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${layer})
  add_library(kestrix::${layer} ALIAS ${target})
  install(TARGETS ${target} EXPORT KestrixViewTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrix/${layer})
  set_property(GLOBAL APPEND PROPERTY KESTRIX_PACKAGED_LIBRARIES ${target})
endfunction()

# kestrix_install_program(TARGET [DESKTOP_FILE file.desktop] [ICON icon.svg|icon.png [ICON_SIZE 256x256]])
# Installs a program into bin/, and for a desktop program its menu entry and icon where desktop
# environments look for them.
function(kestrix_install_program target)
  cmake_parse_arguments(P "" "DESKTOP_FILE;ICON;ICON_SIZE" "" ${ARGN})
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(P_DESKTOP_FILE)
    install(FILES ${P_DESKTOP_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  endif()
  if(P_ICON)
    if(P_ICON MATCHES "\\.svg$")
      set(size scalable)
    elseif(P_ICON_SIZE)
      set(size ${P_ICON_SIZE})
    else()
      set(size 256x256)
    endif()
    install(FILES ${P_ICON} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}/apps)
  endif()
endfunction()

# kestrix_install_package()
# Called once the layers are added: the CMake package (find_package(KestrixView CONFIG)) and the
# pkg-config file, both relocatable so that `cmake --install --prefix` may put them anywhere.
function(kestrix_install_package)
  set(cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/KestrixView)
  include(CMakePackageConfigHelpers)
  install(EXPORT KestrixViewTargets NAMESPACE kestrix:: DESTINATION ${cmakedir})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestrixViewConfig.cmake.in
    ${PROJECT_BINARY_DIR}/KestrixViewConfig.cmake INSTALL_DESTINATION ${cmakedir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestrixViewConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/KestrixViewConfig.cmake
    ${PROJECT_BINARY_DIR}/KestrixViewConfigVersion.cmake DESTINATION ${cmakedir})

  # The libraries are static, so what they link against goes in Libs and Requires (not the
  # .private fields), and they are listed top layer first, as a static link needs them.
  get_property(libraries GLOBAL PROPERTY KESTRIX_PACKAGED_LIBRARIES)
  list(REVERSE libraries)
  list(TRANSFORM libraries PREPEND "-l")
  list(JOIN libraries " " KESTRIX_PC_LIBS)
  file(RELATIVE_PATH KESTRIX_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" KESTRIX_PC_PREFIX "${KESTRIX_PC_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kestrixview.pc.in
    ${PROJECT_BINARY_DIR}/kestrixview.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/kestrixview.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
