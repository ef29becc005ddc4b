# Whether the programs are linked statically, the C library too
# (KVX_STATIC_PROGRAMS: AUTO, ON or OFF). A static program starts without the
# dynamic loader, which is most of a small conversion's time when meshes are
# converted one process per file. Sets KVX_STATIC_GLIBC for tools/.
#
# AUTO links them statically where a static link of a threaded C++ program
# works, except
# - under sanitizers, whose runtimes need the dynamic loader;
# - for an install under /usr, a distribution's package: its programs take
#   the system's C library, so that its security updates reach them, and
#   lintian refuses static programs (statically-linked-binary).
# ON insists (configuring fails where it cannot be done); OFF never.
# The Python module, a shared object, is never affected, and neither is the
# C++ runtime, which KVX_STATIC_RUNTIME links into dynamic programs.
include(CheckCXXSourceCompiles)

set(KVX_STATIC_PROGRAMS AUTO CACHE STRING
    "Link the programs statically, the C library too: AUTO, ON or OFF (see cmake/StaticPrograms.cmake)")
set_property(CACHE KVX_STATIC_PROGRAMS PROPERTY STRINGS AUTO ON OFF)
string(TOUPPER "${KVX_STATIC_PROGRAMS}" kvx_static_request)
if(NOT kvx_static_request MATCHES "^(AUTO|ON|OFF)$")
    message(FATAL_ERROR "KVX_STATIC_PROGRAMS is AUTO, ON or OFF, not '${KVX_STATIC_PROGRAMS}'")
endif()

set(kvx_static_reason "")
if(kvx_static_request STREQUAL "OFF")
    set(kvx_static_reason "KVX_STATIC_PROGRAMS=OFF")
elseif("${CMAKE_CXX_FLAGS} ${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_CXX_FLAGS_${CMAKE_BUILD_TYPE}}"
       MATCHES "-fsanitize")
    set(kvx_static_reason "sanitizers need the dynamic loader")
elseif(kvx_static_request STREQUAL "AUTO" AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(kvx_static_reason "installed under /usr, the programs take the system's C library")
else()
    # A threaded C++ program, linked as the programs would be.
    set(CMAKE_REQUIRED_LINK_OPTIONS -static)
    check_cxx_source_compiles([[
        #include <cstdio>
        #include <string>
        #include <thread>
        int main(int argc, char**) {
            std::string text(static_cast<size_t>(argc), 'x');
            std::thread worker([&] { text += 'y'; });
            worker.join();
            return std::puts(text.c_str()) > 0 ? 0 : 1;
        }]] KVX_STATIC_LINK_WORKS)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    if(NOT KVX_STATIC_LINK_WORKS)
        set(kvx_static_reason "no static C and C++ libraries (Debian: libc6-dev, libstdc++-12-dev)")
    endif()
endif()

if(kvx_static_reason STREQUAL "")
    set(KVX_STATIC_GLIBC ON)
    message(STATUS "Programs linked statically")
else()
    set(KVX_STATIC_GLIBC OFF)
    if(kvx_static_request STREQUAL "ON")
        message(FATAL_ERROR "KVX_STATIC_PROGRAMS=ON, but: ${kvx_static_reason}")
    endif()
    message(STATUS "Programs linked to the shared C library: ${kvx_static_reason}")
endif()
