# SPDX-License-Identifier: MIT
# Installation and packages, included at the end of the top-level CMakeLists.txt once every target
# is defined:
#   - the CMake package imabox (imaboxConfig.cmake, relocatable): imabox::imabox is the shared
#     library with the C API; imabox::core and imabox::recorder are the C++ API's static
#     libraries, with their own dependencies found by the config file;
#   - the same targets exported from the build tree, and as aliases for add_subdirectory();
#   - pkg-config files imabox.pc (C API) and imabox-cxx.pc (C++ API), relocatable;
#   - the manual page and the bash and zsh completions, generated from the tool's options;
#   - CPack: on Linux three Debian packages (cpack -G DEB), as Debian ships a library:
#     libimabox1 (the shared library), libimabox-dev (headers, static C++ libraries, CMake and
#     pkg-config files) and imabox (the tool, its manual page and completions); each install rule
#     below names its component (lib, dev, tool). On Windows a zip of the whole mingw build.
# On Debian and its derivatives the libraries, CMake and pkg-config files go to the multiarch
# folder (lib/x86_64-linux-gnu...) whatever the prefix, as Debian's own packages have them and as
# the dynamic linker and pkg-config search there under /usr and /usr/local alike. Elsewhere, and
# with -DCMAKE_INSTALL_LIBDIR=lib, GNUInstallDirs' choice.
if(NOT WIN32 AND NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE
   AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
    "Object code libraries (lib/${CMAKE_LIBRARY_ARCHITECTURE} on Debian)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(IMABOX_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/imabox)
set(IMABOX_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- Targets ----

# The C++ API: imabox_core and imabox_recorder, and every static library of this project they
# link (a static archive needs its own dependencies at the consumer's link).
# Depth first, each target after those that link it: the order of the archives on a link line.
set(IMABOX_CXX_TARGETS)
set(IMABOX_CXX_DEPENDENCIES)  # imported targets, e.g. Threads::Threads
function(imabox_visit target)
  if(target IN_LIST IMABOX_CXX_VISITED)
    return()
  endif()
  list(APPEND IMABOX_CXX_VISITED ${target})
  set(IMABOX_CXX_VISITED ${IMABOX_CXX_VISITED} PARENT_SCOPE)
  get_target_property(links ${target} LINK_LIBRARIES)
  get_target_property(interface_links ${target} INTERFACE_LINK_LIBRARIES)
  foreach(link IN LISTS links interface_links)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
    if(IS_ABSOLUTE "${link}")
      message(WARNING "${target} links ${link} by path: the installed CMake and pkg-config "
                      "files cannot find it elsewhere; link an imported target instead")
    endif()
    if(NOT TARGET ${link})
      continue()
    endif()
    get_target_property(aliased ${link} ALIASED_TARGET)
    if(aliased)
      set(link ${aliased})
    endif()
    get_target_property(imported ${link} IMPORTED)
    if(imported)
      list(APPEND IMABOX_CXX_DEPENDENCIES ${link})
    else()
      imabox_visit(${link})
    endif()
  endforeach()
  list(PREPEND IMABOX_CXX_TARGETS ${target})
  set(IMABOX_CXX_VISITED ${IMABOX_CXX_VISITED} PARENT_SCOPE)
  set(IMABOX_CXX_TARGETS ${IMABOX_CXX_TARGETS} PARENT_SCOPE)
  set(IMABOX_CXX_DEPENDENCIES ${IMABOX_CXX_DEPENDENCIES} PARENT_SCOPE)
endfunction()
set(IMABOX_CXX_VISITED)
if(TARGET imabox_recorder)
  imabox_visit(imabox_recorder)
endif()
imabox_visit(imabox_core)
list(REMOVE_DUPLICATES IMABOX_CXX_DEPENDENCIES)

# Exported as imabox::<name without "imabox_">; the shared library as imabox::imabox.
set_target_properties(imabox_shared PROPERTIES EXPORT_NAME imabox)
add_library(imabox::imabox ALIAS imabox_shared)
foreach(target IN LISTS IMABOX_CXX_TARGETS)
  string(REGEX REPLACE "^imabox_" "" name ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  add_library(imabox::${name} ALIAS ${target})
endforeach()
target_include_directories(imabox_shared
  INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
target_compile_features(imabox_core INTERFACE cxx_std_20)

# How a consumer finds each imported dependency: CMake code for the config file, a module for
# the Requires of the .pc file, or linker flags for its Libs.
set(IMABOX_FIND_DEPENDENCIES)
set(IMABOX_PC_REQUIRES)
set(IMABOX_PC_LIBS)
foreach(dependency IN LISTS IMABOX_CXX_DEPENDENCIES)
  if(dependency STREQUAL "Threads::Threads")
    string(APPEND IMABOX_FIND_DEPENDENCIES "find_dependency(Threads)\n")
    if(NOT WIN32)
      list(APPEND IMABOX_PC_LIBS -pthread)
    endif()
  elseif(dependency STREQUAL "ALSA::ALSA")
    string(APPEND IMABOX_FIND_DEPENDENCIES "find_dependency(ALSA)\n")
    list(APPEND IMABOX_PC_REQUIRES alsa)
  elseif(dependency MATCHES "^PkgConfig::(.+)$")
    set(prefix ${CMAKE_MATCH_1})
    set(module ${${prefix}_MODULE_NAME})
    if(NOT module)
      message(FATAL_ERROR "${dependency}: found by pkg_check_modules with several modules; "
                          "cmake/Install.cmake cannot tell the config file how to find it")
    endif()
    string(APPEND IMABOX_FIND_DEPENDENCIES
      "find_dependency(PkgConfig)\n"
      "if(NOT TARGET ${dependency})\n"
      "  pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})\n"
      "  if(NOT ${prefix}_FOUND)\n"
      "    return()\n"
      "  endif()\n"
      "endif()\n")
    list(APPEND IMABOX_PC_REQUIRES ${module})
  elseif(dependency MATCHES "^(SndFile|soxr|SoxR)::")
    string(APPEND IMABOX_FIND_DEPENDENCIES "find_dependency(${CMAKE_MATCH_1})\n")
    string(TOLOWER ${CMAKE_MATCH_1} module)
    list(APPEND IMABOX_PC_REQUIRES ${module})
  else()
    message(FATAL_ERROR "The C++ API links ${dependency}: teach cmake/Install.cmake how a "
                        "consumer finds it (config file and pkg-config file)")
  endif()
endforeach()
list(JOIN IMABOX_PC_REQUIRES ", " IMABOX_PC_REQUIRES)
set(IMABOX_PC_STATIC_LIBS)
foreach(target IN LISTS IMABOX_CXX_TARGETS)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  string(APPEND IMABOX_PC_STATIC_LIBS " -l${name}")
endforeach()
string(STRIP "${IMABOX_PC_STATIC_LIBS}" IMABOX_PC_STATIC_LIBS)
list(JOIN IMABOX_PC_LIBS " " IMABOX_PC_LIBS)
# Libraries named in plain words (winmm on Windows).
foreach(target IN LISTS IMABOX_CXX_TARGETS)
  get_target_property(links ${target} LINK_LIBRARIES)
  foreach(link IN LISTS links)
    if(link MATCHES "^[A-Za-z0-9_]+$" AND NOT TARGET ${link})
      string(APPEND IMABOX_PC_LIBS " -l${link}")
    endif()
  endforeach()
endforeach()
string(STRIP "${IMABOX_PC_LIBS}" IMABOX_PC_LIBS)

# The encoder revision, for build systems that read it from the package files.
file(STRINGS src/codec/encoder_revision.hpp revision REGEX "kEncoderRevision = [0-9]+;")
string(REGEX MATCH "[0-9]+" IMABOX_ENCODER_REVISION "${revision}")

# ---- Install ----

# The Debian package each component becomes; its documentation folder is named after it.
set(IMABOX_LIB_PACKAGE libimabox${PROJECT_VERSION_MAJOR})  # after the SONAME libimabox.so.1
set(IMABOX_DEV_PACKAGE libimabox-dev)
set(IMABOX_TOOL_PACKAGE imabox)

# The runtime (libimabox.so.1, imabox.dll) is the library package's; the link-time name
# libimabox.so and the import library belong to the development package.
install(TARGETS imabox_shared EXPORT imaboxTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS ${IMABOX_CXX_TARGETS} EXPORT imaboxCxxTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/imabox DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(WIN32)
  # The module-definition file that names imabox.dll's exports and ordinals.
  install(FILES src/module/imabox.def DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
endif()
if(IMABOX_BUILD_TOOL)
  install(TARGETS imabox_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()
if(WIN32)
  # The zip's top folder: a README for Windows users, imabox's licence, and the licence texts of
  # the libraries linked into imabox.exe (copied from their Debian source packages by
  # scripts/build-windows-deps.sh).
  install(FILES docs/windows/README.txt LICENSE DESTINATION . COMPONENT tool)
  if(IMABOX_WITH_SNDFILE OR IMABOX_WITH_SOXR)
    install(DIRECTORY ${IMABOX_WINDOWS_DEPS}/share/licenses/ DESTINATION licenses
      COMPONENT tool)
  endif()
endif()

# CMake package: installed, and exported from the build tree (imabox_DIR=<build folder>).
install(EXPORT imaboxTargets NAMESPACE imabox:: DESTINATION ${IMABOX_CMAKE_INSTALL_DIR}
  COMPONENT dev)
install(EXPORT imaboxCxxTargets NAMESPACE imabox:: DESTINATION ${IMABOX_CMAKE_INSTALL_DIR}
  COMPONENT dev)
export(EXPORT imaboxTargets NAMESPACE imabox:: FILE ${PROJECT_BINARY_DIR}/imaboxTargets.cmake)
export(EXPORT imaboxCxxTargets NAMESPACE imabox::
  FILE ${PROJECT_BINARY_DIR}/imaboxCxxTargets.cmake)
configure_package_config_file(cmake/imaboxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/imaboxConfig.cmake
  INSTALL_DESTINATION ${IMABOX_CMAKE_INSTALL_DIR})
# SameMajorVersion: the SONAME changes with the major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/imaboxConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/imaboxConfig.cmake
              ${PROJECT_BINARY_DIR}/imaboxConfigVersion.cmake
  DESTINATION ${IMABOX_CMAKE_INSTALL_DIR} COMPONENT dev)

# pkg-config: the prefix is found from the .pc file's own folder, so the tree can move.
file(RELATIVE_PATH IMABOX_PC_PREFIX_FROM_PCFILEDIR
  /${IMABOX_PKGCONFIG_INSTALL_DIR} /)
string(REGEX REPLACE "/$" "" IMABOX_PC_PREFIX_FROM_PCFILEDIR "${IMABOX_PC_PREFIX_FROM_PCFILEDIR}")
foreach(pc imabox imabox-cxx)
  configure_file(cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${IMABOX_PKGCONFIG_INSTALL_DIR}
    COMPONENT dev)
endforeach()

# ---- Manual page and completions, written by the tool itself ----

if(IMABOX_BUILD_TOOL)
  target_sources(imabox_cli PRIVATE tools/cmd_docs.cpp)
endif()
if(IMABOX_BUILD_TOOL AND NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  find_program(IMABOX_GZIP gzip REQUIRED)
  set(IMABOX_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
  add_custom_command(
    OUTPUT ${IMABOX_DOCS_DIR}/imabox.1 ${IMABOX_DOCS_DIR}/imabox.1.gz
           ${IMABOX_DOCS_DIR}/completion/imabox ${IMABOX_DOCS_DIR}/completion/_imabox
    COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:imabox_cli>
            -DTEMPLATE=${PROJECT_SOURCE_DIR}/docs/imabox.1.in -DVERSION=${PROJECT_VERSION}
            -DOUT=${IMABOX_DOCS_DIR} -DGZIP=${IMABOX_GZIP}
            -P ${PROJECT_SOURCE_DIR}/cmake/GenerateDocs.cmake
    DEPENDS imabox_cli ${PROJECT_SOURCE_DIR}/docs/imabox.1.in
            ${PROJECT_SOURCE_DIR}/cmake/GenerateDocs.cmake
    COMMENT "Writing the manual page and the shell completions from imabox's options"
    VERBATIM)
  add_custom_target(imabox_docs ALL DEPENDS ${IMABOX_DOCS_DIR}/imabox.1.gz)

  if(IMABOX_BUILD_TESTS)
    # Every command and option that --help lists is in the page and the completions.
    add_test(NAME docs_match_help
      COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/docs_test.sh
              $<TARGET_FILE:imabox_cli> ${IMABOX_DOCS_DIR})
  endif()

  install(FILES ${IMABOX_DOCS_DIR}/imabox.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT tool)
  install(FILES ${IMABOX_DOCS_DIR}/completion/imabox
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tool)
  install(FILES ${IMABOX_DOCS_DIR}/completion/_imabox
    DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT tool)
endif()

# The licence and the changelog, in every package's own documentation folder as Debian wants
# (share/doc/libimabox1, share/doc/libimabox-dev, share/doc/imabox), the changelog compressed;
# on Windows the licence once, in share/doc/imabox.
if(WIN32)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT lib)
else()
  find_program(IMABOX_GZIP gzip REQUIRED)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/docs/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/docs
    COMMAND ${IMABOX_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/docs/changelog > docs/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/changelog
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    COMMENT "Compressing the changelog")
  add_custom_target(imabox_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/docs/changelog.gz)
  set(docs ${PROJECT_BINARY_DIR}/docs/changelog.gz docs/copyright)
  install(FILES ${docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${IMABOX_LIB_PACKAGE}
    COMPONENT lib)
  install(FILES ${docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${IMABOX_DEV_PACKAGE}
    COMPONENT dev)
  if(IMABOX_BUILD_TOOL)
    install(FILES ${docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${IMABOX_TOOL_PACKAGE}
      COMPONENT tool)
  endif()
endif()

# ---- Packages (only when imabox is the top-level project) ----

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_PACKAGE_NAME imabox)
set(CPACK_PACKAGE_VENDOR "imabox")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The maintainer is the project, never a person (the address as in docs/copyright).
set(CPACK_PACKAGE_CONTACT "imabox developers <maintainers@imabox.invalid>")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Xbox ADPCM audio converter, encoder, recorder and library")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  # Each package's description starts with its own summary line, so no common summary is set.
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_COMPONENTS_ALL lib dev)
  if(IMABOX_BUILD_TOOL)
    list(APPEND CPACK_COMPONENTS_ALL tool)
  endif()
  set(about
    "Xbox ADPCM is IMA ADPCM at 4 bits per sample in blocks of 36 bytes per\n"
    "channel that carry 65 samples each.\n")

  # libimabox1: the shared library. A shlibs file names it for dpkg-shlibdeps, beside the
  # ldconfig trigger Debian wants (CPack's postinst and postrm call ldconfig as well, which
  # lintian notes as a warning; empty scripts of our own would only trade it for another).
  set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${IMABOX_LIB_PACKAGE})
  set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/deb/triggers)
  set(CPACK_DEBIAN_LIB_DESCRIPTION
    "Xbox ADPCM conversion and recording library\n"
    "${about}libimabox.so.1 converts 16-bit PCM WAVE files to Xbox ADPCM and back\n"
    "and records the default audio input, through a small C API (XBoxAudio and\n"
    "the recorder functions).")

  # libimabox-dev: what a program is built with. The static C++ libraries need the
  # development files of the libraries they link.
  set(dev_depends "${IMABOX_LIB_PACKAGE} (= ${PROJECT_VERSION})")
  string(REPLACE ", " ";" modules "${IMABOX_PC_REQUIRES}")
  foreach(module IN LISTS modules)
    if(module STREQUAL "alsa")
      string(APPEND dev_depends ", libasound2-dev")
    elseif(module STREQUAL "sndfile")
      string(APPEND dev_depends ", libsndfile1-dev")
    elseif(module STREQUAL "soxr")
      string(APPEND dev_depends ", libsoxr-dev")
    else()
      message(FATAL_ERROR "The C++ API needs the pkg-config module ${module}: teach "
                          "cmake/Install.cmake which Debian package libimabox-dev depends on")
    endif()
  endforeach()
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${IMABOX_DEV_PACKAGE})
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${dev_depends}")
  set(CPACK_DEBIAN_DEV_DESCRIPTION
    "Xbox ADPCM conversion library: development files\n"
    "${about}This package holds the headers of the C and the C++20 API, the static\n"
    "C++ libraries (conversion, encoding with an optional searching encoder,\n"
    "decoding, recording), the CMake package imabox and the pkg-config files\n"
    "imabox and imabox-cxx.")

  # imabox: the command-line tool.
  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME ${IMABOX_TOOL_PACKAGE})
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_TOOL_DESCRIPTION
    "Xbox ADPCM audio converter, encoder and recorder\n"
    "${about}The imabox tool converts 16-bit PCM WAVE files to Xbox ADPCM and back,\n"
    "encodes common WAVE, FLAC, Ogg, MP3 and AIFF files with an optional\n"
    "searching encoder, decodes Xbox and IMA ADPCM, records audio input and\n"
    "shows the format of WAVE files.")
  foreach(component LIB DEV TOOL)
    string(REPLACE ";" "" CPACK_DEBIAN_${component}_DESCRIPTION
      "${CPACK_DEBIAN_${component}_DESCRIPTION}")
  endforeach()
endif()
include(CPack)
