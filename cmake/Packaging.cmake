# Debian packages, one per install component, split as Debian splits a library:
#   libtessoral<soversion>  the shared library and the udev rule
#   libtessoral-dev         header, libTessoral.so, pkg-config file, CMake package
#   tessoral-tools          brannock and the u3v-* tools with their manual pages
#   python3-tessoral        the Python package, when built
#   gstreamer1.0-tessoral   the tessoralsrc element, when built
# `cpack -G DEB` in a build configured with CMAKE_INSTALL_PREFIX=/usr; scripts/package.sh
# does both. CPack's DEB generator rather than a debian/ source tree: the install rules
# stay the one description of what goes where, for `cmake --install` and packages alike.

set(TESSORAL_PACKAGE_CONTACT "Tessoral developers <tessoral@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")

set(lib_package libtessoral${TESSORAL_SOVERSION})
set(components Library Development Tools)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${lib_package})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtessoral-dev)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tessoral-tools)
if(TARGET tessoral_native)
  list(APPEND components Python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tessoral)
endif()
if(TARGET gsttessoral)
  list(APPEND components GStreamer)
  set(CPACK_DEBIAN_GSTREAMER_PACKAGE_NAME gstreamer1.0-tessoral)
endif()

# Each package's copyright and changelog, only in packages: a plain `cmake --install`
# installs components as a whole and leaves them out.
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in
  ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
  ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nf changelog WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging
  RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip failed on the packages' changelog")
endif()
foreach(component ${components})
  string(TOUPPER ${component} upper)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessoral)
set(CPACK_PACKAGE_VENDOR "Tessoral developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TESSORAL_PACKAGE_CONTACT})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the binaries; libTessoral.so.1 itself is found in the build tree
# and named below, as no installed package provides it yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(same_library "${lib_package} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "adduser")
# Only the library has a SONAME, so only its package gets a shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Our own maintainer scripts with an ldconfig trigger, so CPack adds no ldconfig calls.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "USB3 Vision camera library
libTessoral is a shared library with a flat C interface for USB3 Vision
cameras: discovery, device open, the GenCP control channel, the GenICam
description file, events and image streams.

This package holds the library and a udev rule that gives USB3 Vision cameras
to the user at the seat and to the members of the group usb3vision.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ${same_library})
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "USB3 Vision camera library - development files
libTessoral is a shared library with a flat C interface for USB3 Vision
cameras.

This package holds the C header, the link library, the pkg-config file
(tessoral) and the CMake package (find_package(Tessoral)).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ${same_library})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "USB3 Vision camera tools
Command-line programs on libTessoral: u3v-list lists the cameras, u3v-xml
saves a camera's GenICam description file, u3v-reg reads and writes its
registers and memory, u3v-feature its features by name, u3v-grab takes
images, and brannock updates a camera's firmware.")

if(TARGET tessoral_native)
  execute_process(COMMAND ${TESSORAL_PYTHON_EXECUTABLE} -c
      "import sys; print('%d.%d;%d.%d' % (sys.version_info[0], sys.version_info[1], sys.version_info[0], sys.version_info[1] + 1))"
    OUTPUT_VARIABLE python_range OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(GET python_range 0 python_this)
  list(GET python_range 1 python_next)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  # The native module is built for one interpreter version's ABI.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "${same_library}, python3 (>= ${python_this}), python3 (<< ${python_next}), python3-numpy")
  set(TESSORAL_PYTHON_PACKAGE_DIR ${CMAKE_INSTALL_PREFIX}/${TESSORAL_PYTHON_INSTALL_DIR}/tessoral)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/python-prerm.in
    ${CMAKE_BINARY_DIR}/packaging/python/prerm @ONLY)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/python/prerm)
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "USB3 Vision cameras from Python
The Python package tessoral: cameras, features by name, image streams as
numpy arrays and events, on libTessoral.")
endif()

if(TARGET gsttessoral)
  set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS ${same_library})
  set(CPACK_DEBIAN_GSTREAMER_DESCRIPTION "GStreamer source element for USB3 Vision cameras
tessoralsrc, a GStreamer 1.0 source element that streams the images of a
USB3 Vision camera through libTessoral.")
endif()

include(CPack)
