# Run by CTest (tests/install/CMakeLists.txt) in script mode:
#   1. cmake --install of the build into WORK_DIR/prefix, emptied first;
#   2. the installed files must be exactly the programs, libmeshcore.a, the
#      public headers, the CMake package, the pkg-config file and the man
#      pages: no test program, benchmark or helper library;
#   3. the package's version file accepts this major version only;
#   4. the consumer project is configured against the prefix with
#      find_package, built with this build's compiler and flags, and run: it
#      saves a mesh and loads it back;
#   5. the installed kvxdump prints the consumer's file;
#   6. with pkg-config at hand, the consumer is compiled once more from the
#      flags that meshcore.pc gives, and run;
#   7. where the Python module kvx was built (PYTHON_INSTALL_SCRIPT, written
#      by python/CMakeLists.txt, names its files and interpreter), the
#      installed package loads the consumer's file.

foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR SOURCE_DIR GENERATOR CXX VERSION PROGRAMS BINDIR
            LIBDIR INCLUDEDIR MANDIR)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "install_test.cmake needs -D${var}=...")
    endif()
endforeach()
string(REPLACE "," ";" PROGRAMS "${PROGRAMS}")

# Runs a command; stops the test with its output when it fails.
function(run_checked what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out
                    ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${what} failed (${result}):\n${ARGN}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

# The Python package's files and interpreter; none where it is not built.
set(KVX_PYTHON_FILES)
if(PYTHON_INSTALL_SCRIPT AND EXISTS ${PYTHON_INSTALL_SCRIPT})
    include(${PYTHON_INSTALL_SCRIPT})
endif()
# The Blender add-on's files (blender/CMakeLists.txt writes the list).
set(KVX_BLENDER_FILES)
if(EXISTS ${BUILD_DIR}/kvx_blender_install.cmake)
    include(${BUILD_DIR}/kvx_blender_install.cmake)
endif()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# 1. Install.
set(config_args)
if(CONFIG)
    set(config_args --config ${CONFIG})
endif()
run_checked("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
            ${config_args})

# 2. Exactly the expected files.
if(CONFIG)
    string(TOLOWER "${CONFIG}" config_lower)
else()
    set(config_lower noconfig)
endif()
set(package_dir ${LIBDIR}/cmake/meshcore)
set(expected
    ${LIBDIR}/libmeshcore.a
    ${LIBDIR}/pkgconfig/meshcore.pc
    ${package_dir}/meshcoreConfig.cmake
    ${package_dir}/meshcoreConfigVersion.cmake
    ${package_dir}/meshcoreTargets.cmake
    ${package_dir}/meshcoreTargets-${config_lower}.cmake)
foreach(program ${PROGRAMS})
    list(APPEND expected ${BINDIR}/${program})
endforeach()
list(APPEND expected ${KVX_PYTHON_FILES} ${KVX_BLENDER_FILES})
# The assimp worker, where the build has assimp: in libexec, not bin.
if(WORKER)
    list(APPEND expected ${WORKER})
endif()
file(GLOB headers RELATIVE ${SOURCE_DIR}/meshcore/include/meshcore
     ${SOURCE_DIR}/meshcore/include/meshcore/*.h)
foreach(header ${headers})
    list(APPEND expected ${INCLUDEDIR}/meshcore/${header})
endforeach()
foreach(section 1 5)
    file(GLOB pages RELATIVE ${SOURCE_DIR}/man ${SOURCE_DIR}/man/*.${section})
    foreach(page ${pages})
        list(APPEND expected ${MANDIR}/man${section}/${page}.gz)
    endforeach()
endforeach()
list(APPEND expected share/doc/kvx/copyright share/doc/kvx/changelog.gz share/doc/kvx/guide.md.gz)
list(SORT expected)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*)
list(SORT installed)
if(NOT installed STREQUAL expected)
    set(missing ${expected})
    list(REMOVE_ITEM missing ${installed})
    set(extra ${installed})
    list(REMOVE_ITEM extra ${expected})
    message(FATAL_ERROR "installed files differ from the expected ones\n"
                        "missing: ${missing}\nnot expected: ${extra}")
endif()
# Every program comes with its manual page, and the format page is there.
foreach(page ${PROGRAMS})
    if(NOT EXISTS ${prefix}/${MANDIR}/man1/${page}.1.gz)
        message(FATAL_ERROR "${page} is installed without a manual page man/${page}.1")
    endif()
endforeach()
if(NOT EXISTS ${prefix}/${MANDIR}/man5/kvx.5.gz)
    message(FATAL_ERROR "the format page man/kvx.5 is not installed")
endif()

# 3. The version file: the same major version is accepted, a newer minor
# version or another major version is not.
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
math(EXPR next_major "${major} + 1")
foreach(request "${major}.0;TRUE" "${VERSION};TRUE" "${major}.999;FALSE" "${next_major}.0;FALSE")
    list(GET request 0 PACKAGE_FIND_VERSION)
    list(GET request 1 want)
    string(REGEX MATCH "^[0-9]+" PACKAGE_FIND_VERSION_MAJOR "${PACKAGE_FIND_VERSION}")
    set(PACKAGE_VERSION_COMPATIBLE)
    include(${prefix}/${package_dir}/meshcoreConfigVersion.cmake)
    if(NOT PACKAGE_VERSION STREQUAL VERSION)
        message(FATAL_ERROR "the package says version ${PACKAGE_VERSION}, the project ${VERSION}")
    endif()
    if((want AND NOT PACKAGE_VERSION_COMPATIBLE) OR (NOT want AND PACKAGE_VERSION_COMPATIBLE))
        message(FATAL_ERROR "a request for version ${PACKAGE_FIND_VERSION} should give "
                            "compatible = ${want}")
    endif()
endforeach()

# 4. The consumer, built against the prefix only.
set(consumer_build ${WORK_DIR}/consumer-build)
set(build_type ${CONFIG})
if(NOT build_type)
    set(build_type Release)
endif()
run_checked("configuring the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${consumer_build}
            -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
            -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
            "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}" -DCMAKE_BUILD_TYPE=${build_type})
run_checked("building the consumer" ${CMAKE_COMMAND} --build ${consumer_build}
            --config ${build_type})
set(consumer ${consumer_build}/consumer)
if(NOT EXISTS ${consumer})
    set(consumer ${consumer_build}/${build_type}/consumer)
endif()
set(mesh_file ${WORK_DIR}/tetra.kvx)
run_checked("the consumer" ${consumer} ${mesh_file})
if(NOT run_output STREQUAL "saved and loaded 5 vertices, 2 faces, name tetra\n")
    message(FATAL_ERROR "unexpected consumer output:\n${run_output}")
endif()

# 5. The installed kvxdump reads what the library wrote. Vertices 0 and 2
# sum the normals (0, 0, 1) and (1, 0, 0); vertex 4 lies on no face.
run_checked("the installed kvxdump" ${prefix}/${BINDIR}/kvxdump ${mesh_file})
string(CONCAT dump_expected
       "vertexCount = 5\n"
       "faceCount = 2\n"
       "version = 4\n"
       "0.000000 0.500000 0.707107 0.000000 0.707107 0xFF0000FF 0.000000 0.000000 0.000000\n"
       "0.250000 0.500000 0.000000 0.000000 1.000000 0xFF00FF 1.000000 0.000000 0.000000\n"
       "0.500000 0.500000 0.707107 0.000000 0.707107 0xFFFF 0.000000 1.000000 0.000000\n"
       "0.750000 0.500000 1.000000 0.000000 0.000000 0x336699CC 0.000000 0.000000 1.000000\n"
       "1.000000 0.500000 0.000000 0.000000 0.000000 0x0 2.000000 2.000000 2.000000\n"
       "0 1 2\n"
       "0 2 3\n"
       "tetra\n")
if(NOT run_output STREQUAL dump_expected)
    message(FATAL_ERROR "kvxdump printed:\n${run_output}\nexpected:\n${dump_expected}")
endif()

# 6. pkg-config: meshcore.pc must lead to the installed header folder and
# library, wherever the prefix is.
if(PKG_CONFIG)
    run_checked("pkg-config" ${CMAKE_COMMAND} -E env
                PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig PKG_CONFIG_LIBDIR=/nonexistent
                ${PKG_CONFIG} --cflags --libs meshcore)
    string(STRIP "${run_output}" pc_flags)
    separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
    separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS} ${LINKER_FLAGS}")
    set(pc_consumer ${WORK_DIR}/consumer-pc)
    run_checked("compiling the consumer with pkg-config flags" ${CXX} ${cxx_flags} -std=c++20
                ${CONSUMER_DIR}/main.cpp ${pc_flags} -o ${pc_consumer})
    run_checked("the pkg-config consumer" ${pc_consumer} ${WORK_DIR}/tetra-pc.kvx)
    file(READ ${mesh_file} first HEX)
    file(READ ${WORK_DIR}/tetra-pc.kvx second HEX)
    if(NOT first STREQUAL second)
        message(FATAL_ERROR "the two consumers wrote different files")
    endif()
else()
    message(STATUS "pkg-config not found: meshcore.pc not tried")
endif()

# 7. The installed Python package, alone on the path, reads the same file.
if(KVX_PYTHON_FILES)
    # (Lines, not ";", which would split the argument.)
    run_checked("the installed Python package" ${CMAKE_COMMAND} -E env
                PYTHONPATH=${prefix}/${KVX_PYTHON_DIR} PYTHONDONTWRITEBYTECODE=1
                ${KVX_PYTHON} -c
                "import kvx\nm = kvx.load('${mesh_file}')\nprint(kvx.__file__)\nprint(m, m.name, m.normals[3].tolist())")
    set(python_expected
        "${prefix}/${KVX_PYTHON_DIR}/kvx/__init__.py\n<kvx.Mesh version 4, 5 vertices, 2 faces> tetra [1.0, 0.0, 0.0]\n")
    if(NOT run_output STREQUAL python_expected)
        message(FATAL_ERROR "the installed package printed:\n${run_output}\nexpected:\n${python_expected}")
    endif()
endif()
message(STATUS "installed into ${prefix}; the consumer saved, loaded and dumped ${mesh_file}")
