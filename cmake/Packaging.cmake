# Install, CMake package, pkg-config file, man pages and Debian package,
# included by the top CMakeLists.txt once every folder has declared its
# targets. Programs install themselves (kvx_add_program, tools/), meshcore
# its library and headers (meshcore/) and the Python package itself
# (python/, which also sets CPACK_DEBIAN_PACKAGE_RECOMMENDS and _SUGGESTS).
# Here: what lets other projects find meshcore, the man pages, the licence
# and history, the list of programs the package check reads, and CPack.
include(CMakePackageConfigHelpers)
set(KVX_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/meshcore)
install(EXPORT meshcoreTargets
        NAMESPACE meshcore::
        FILE meshcoreTargets.cmake
        DESTINATION ${KVX_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/meshcoreConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/meshcoreConfig.cmake
                              INSTALL_DESTINATION ${KVX_CMAKE_PACKAGE_DIR})
# A 1.x request accepts any 1.y; the library and the consumer must also agree
# on pointer size, since it is a static archive for one architecture.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/meshcoreConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/meshcoreConfig.cmake
              ${PROJECT_BINARY_DIR}/meshcoreConfigVersion.cmake
        DESTINATION ${KVX_CMAKE_PACKAGE_DIR})

# Every page in man/ is installed, compressed as Debian policy wants it:
# section 1 for the programs, section 5 for the file formats.
file(GLOB KVX_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1 ${PROJECT_SOURCE_DIR}/man/*.5)
find_program(KVX_GZIP gzip REQUIRED)
set(kvx_compressed)
foreach(page ${KVX_MAN_PAGES})
    get_filename_component(name ${page} NAME)
    string(REGEX REPLACE "^.*\\.([15])$" "\\1" section ${name})
    set(compressed ${PROJECT_BINARY_DIR}/man/${name}.gz)
    # -n: no name or time stamp, so the same page gives the same bytes.
    add_custom_command(OUTPUT ${compressed}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                       COMMAND ${KVX_GZIP} -9n -c ${page} > ${compressed}
                       DEPENDS ${page} VERBATIM)
    list(APPEND kvx_compressed ${compressed})
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${kvx_compressed})

# The licence, the history and the user guide (which the manual pages name
# for the exit statuses), where Debian looks for them.
set(kvx_changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${kvx_changelog}
                   COMMAND ${KVX_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${kvx_changelog}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
set(kvx_guide ${PROJECT_BINARY_DIR}/guide.md.gz)
add_custom_command(OUTPUT ${kvx_guide}
                   COMMAND ${KVX_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/docs/guide.md > ${kvx_guide}
                   DEPENDS ${PROJECT_SOURCE_DIR}/docs/guide.md VERBATIM)
add_custom_target(changelog ALL DEPENDS ${kvx_changelog} ${kvx_guide})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${kvx_changelog} ${kvx_guide}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kvx)

# The programs that kvx_add_program defined, one per line, for the CI check
# of the Debian package.
list(JOIN kvx_programs "\n" kvx_program_lines)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/kvx_programs.txt CONTENT "${kvx_program_lines}\n")

set(CPACK_PACKAGE_NAME kvx)
set(CPACK_PACKAGE_VENDOR "The kvx developers")
set(KVX_PACKAGE_MAINTAINER "kvx developers <kvx@users.noreply.github.com>"
    CACHE STRING "The Maintainer of the Debian package")
set(CPACK_PACKAGE_CONTACT "${KVX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "triangle mesh tools for the compact KVX format")
# What the package holds, in the order users meet it; a part the build left
# out is not named.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "KVX is a compact binary format for triangle meshes of up to 65,536\n"
    "vertices, point sets and wireframes. kvximport converts OBJ, PLY, STL,\n"
    "OFF and text meshes (.cmsh) into KVX files")
if(TARGET kvx-assimp)
    string(APPEND CPACK_PACKAGE_DESCRIPTION
        "; through assimp, in a confined\n"
        "process, it reads glTF, COLLADA, FBX and more too")
endif()
string(APPEND CPACK_PACKAGE_DESCRIPTION
    ".\nkvxexport writes them as glTF 2.0, PLY, OBJ, STL, OFF or text, and\n"
    "kvxdump prints them.")
if(TARGET kvxrender)
    string(APPEND CPACK_PACKAGE_DESCRIPTION " kvxrender draws them as PNG pictures.")
endif()
if(TARGET kvxopt)
    string(APPEND CPACK_PACKAGE_DESCRIPTION
        "\nkvxopt orders the triangles for the GPU, simplifies meshes, fits them into\n"
        "the format's limits and makes levels of detail.")
endif()
string(APPEND CPACK_PACKAGE_DESCRIPTION
    "\nSix converters turn text meshes into each KVX layout. The package also\n"
    "holds the static C++20 library meshcore with its headers, a CMake package\n"
    "(meshcore::meshcore) and a pkg-config file.")
if(TARGET _kvx)
    string(APPEND CPACK_PACKAGE_DESCRIPTION
        "\nThe Python module kvx loads and saves KVX files as NumPy arrays, reads\n"
        "what kvximport reads, adds the format to meshio and converts many files\n"
        "on a process pool or a Dask cluster.")
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The programs are stripped, their debugging symbols left out.
set(CPACK_STRIP_FILES ON)
# Exact library dependencies where dpkg-shlibdeps is at hand, else the
# runtime libraries the programs link.
find_program(KVX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KVX_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
    if(TARGET kvxrender)
        string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libpng16-16")
    endif()
endif()
# meshoptimizer is opened only when a mesh is ordered or simplified
# (meshimport/meshopt_api.h), so dpkg-shlibdeps does not see it: the package
# that holds it is recommended (without it, kvxopt and those options say so).
if(KVX_HAVE_MESHOPTIMIZER)
    find_package(meshoptimizer CONFIG QUIET)
endif()
if(KVX_HAVE_MESHOPTIMIZER AND TARGET meshoptimizer::meshoptimizer)
    get_target_property(kvx_meshopt_configs meshoptimizer::meshoptimizer IMPORTED_CONFIGURATIONS)
    if(kvx_meshopt_configs)
        list(GET kvx_meshopt_configs 0 kvx_meshopt_config)
        get_target_property(kvx_meshopt_file meshoptimizer::meshoptimizer
                            IMPORTED_LOCATION_${kvx_meshopt_config})
        find_program(KVX_DPKG_QUERY dpkg-query)
        if(kvx_meshopt_file AND KVX_DPKG_QUERY)
            file(REAL_PATH "${kvx_meshopt_file}" kvx_meshopt_file)
            execute_process(COMMAND ${KVX_DPKG_QUERY} -S "${kvx_meshopt_file}"
                            OUTPUT_VARIABLE kvx_meshopt_owner ERROR_QUIET
                            OUTPUT_STRIP_TRAILING_WHITESPACE)
            string(REGEX REPLACE "^([^:,]+).*" "\\1" kvx_meshopt_package "${kvx_meshopt_owner}")
            if(kvx_meshopt_package)
                if(CPACK_DEBIAN_PACKAGE_RECOMMENDS)
                    string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", ${kvx_meshopt_package}")
                else()
                    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${kvx_meshopt_package}")
                endif()
            endif()
        endif()
    endif()
endif()
include(CPack)
