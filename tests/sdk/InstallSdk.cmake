# Installs the SDK from a build tree into a prefix of its own, emptied first, so that the tests
# after it see exactly what an installation holds.
#
#   cmake -DBUILD_DIR=<build tree> -DPREFIX=<prefix> -P InstallSdk.cmake
foreach(var BUILD_DIR PREFIX)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "InstallSdk.cmake needs -D${var}=...")
    endif()
endforeach()

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
        include/plugin/PluginContainer.h
        include/SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h
        include/plinth/Log.h
        lib/libPlinth.so
        lib/libPyr_MiniMap.so
        lib/libSatchel.so
        lib/libPyrPlugin.a
        lib/libPyrNet.a
        lib/cmake/PyrMiniMap/PyrMiniMapConfig.cmake
        lib/pkgconfig/pyr-minimap.pc
        bin/minimap-server
        bin/pyr-strtable
        share/PyrMiniMap/events.schema.json
        bin/pyr-netdump
        share/PyrMiniMap/wireshark/pyrmm.lua)
    if(NOT EXISTS ${PREFIX}/${file})
        message(FATAL_ERROR "the SDK lacks ${file}")
    endif()
endforeach()

# What stays private: the module's implementation and the libraries compiled into it.
foreach(file
        include/SceneSystem/Pyr_MiniMap/Pyr_MiniMap.h
        include/text
        include/satchel/ZipPack.h
        include/tinyxml.h
        include/physfs.h)
    if(EXISTS ${PREFIX}/${file})
        message(FATAL_ERROR "the SDK must not hold ${file}")
    endif()
endforeach()
