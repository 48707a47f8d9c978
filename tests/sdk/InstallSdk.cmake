# Installs the SDK from a build tree into a prefix of its own, emptied first, so that the tests
# after it see exactly what an installation holds.
#
#   cmake -DBUILD_DIR=<build tree> -DPREFIX=<prefix> [-DLIBDIR=<library folder>] -P InstallSdk.cmake
#
# LIBDIR is the build's library folder inside the prefix (lib, or lib/x86_64-linux-gnu where the
# build was configured for /usr).
foreach(var BUILD_DIR PREFIX)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "InstallSdk.cmake needs -D${var}=...")
    endif()
endforeach()
if(NOT DEFINED LIBDIR)
    set(LIBDIR lib)
endif()

file(REMOVE_RECURSE ${PREFIX})
execute_process(
    COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --component sdk
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()

# What a plug-in author relies on being there.
foreach(file
        include/PyrMiniMap/plugin/PluginContainer.h
        include/PyrMiniMap/plugin/PluginEntry.h
        include/PyrMiniMap/SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h
        include/PyrMiniMap/plinth/Log.h
        include/PyrMiniMap/PyrMiniMapVersion.h
        ${LIBDIR}/libPlinth.so
        ${LIBDIR}/libPyr_MiniMap.so
        ${LIBDIR}/libSatchel.so
        ${LIBDIR}/libPyrPlugin.a
        ${LIBDIR}/libPyrNet.a
        ${LIBDIR}/cmake/PyrMiniMap/PyrMiniMapConfig.cmake
        ${LIBDIR}/pkgconfig/pyr-minimap.pc
        ${LIBDIR}/pkgconfig/pyr-minimap-plugin.pc
        bin/minimap-server
        bin/pyr-strtable
        share/PyrMiniMap/events.schema.json
        bin/pyr-netdump
        share/PyrMiniMap/wireshark/pyrmm.lua
        bin/minimap-client
        bin/minimap-example-host
        ${LIBDIR}/PyrMiniMap/examples/libmarker_printer.so
        share/PyrMiniMap/scenarios/village.scn
        share/PyrMiniMap/scenarios/market.scn
        share/doc/PyrMiniMap/scenario-format.md
        share/doc/PyrMiniMap/CHANGELOG.md)
    if(NOT EXISTS ${PREFIX}/${file})
        message(FATAL_ERROR "the SDK lacks ${file}")
    endif()
endforeach()

# What stays private: the module's implementation and the libraries compiled into it. Nothing
# but the project's own folder at the top of include/.
file(GLOB top RELATIVE ${PREFIX}/include ${PREFIX}/include/*)
if(NOT top STREQUAL "PyrMiniMap")
    message(FATAL_ERROR "include/ holds ${top}; only PyrMiniMap belongs there")
endif()
foreach(file
        include/PyrMiniMap/SceneSystem/Pyr_MiniMap/Pyr_MiniMap.h
        include/PyrMiniMap/text
        include/PyrMiniMap/satchel/ZipPack.h)
    if(EXISTS ${PREFIX}/${file})
        message(FATAL_ERROR "the SDK must not hold ${file}")
    endif()
endforeach()

# Versioned the conventional way: the real file, its SONAME link, the unversioned link (the name
# the module loads libSatchel.so by, and links find libPlinth.so by). The module itself is
# loaded by its file name and carries no version.
if(NOT DEFINED READELF OR NOT DEFINED VERSION OR NOT DEFINED SOVERSION)
    message(FATAL_ERROR "InstallSdk.cmake needs -DREADELF=... -DVERSION=... -DSOVERSION=...")
endif()
function(soname_of file out)
    execute_process(COMMAND ${READELF} -d ${file} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "readelf cannot read ${file}")
    endif()
    set(name "")
    if(dynamic MATCHES "\\(SONAME\\)[^[]*\\[([^]]*)\\]")
        set(name ${CMAKE_MATCH_1})
    endif()
    set(${out} "${name}" PARENT_SCOPE)
endfunction()
foreach(library Plinth Satchel)
    set(real ${PREFIX}/${LIBDIR}/lib${library}.so.${VERSION})
    if(NOT EXISTS ${real} OR IS_SYMLINK ${real})
        message(FATAL_ERROR "the SDK lacks the file lib${library}.so.${VERSION}")
    endif()
    soname_of(${real} soname)
    if(NOT soname STREQUAL "lib${library}.so.${SOVERSION}")
        message(FATAL_ERROR "lib${library}.so.${VERSION} has the SONAME '${soname}'")
    endif()
    foreach(link lib${library}.so.${SOVERSION} lib${library}.so)
        file(REAL_PATH ${PREFIX}/${LIBDIR}/${link} target)
        file(REAL_PATH ${real} real_resolved)
        if(NOT IS_SYMLINK ${PREFIX}/${LIBDIR}/${link} OR NOT target STREQUAL real_resolved)
            message(FATAL_ERROR "${link} is not a link to lib${library}.so.${VERSION}")
        endif()
    endforeach()
endforeach()
soname_of(${PREFIX}/${LIBDIR}/libPyr_MiniMap.so soname)
if(NOT soname STREQUAL "" AND NOT soname STREQUAL "libPyr_MiniMap.so")
    message(FATAL_ERROR "the module has the SONAME '${soname}'")
endif()
