cmake_minimum_required(VERSION 3.25)
# Installs into a scratch prefix and checks that a desktop finds the program,
# its desktop entry, its icons and its metainfo where it looks for them.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "install failed: ${result}")
endif()
foreach(path bin/velmora-demo
             bin/velmora-demo-headless
             share/applications/velmora-demo.desktop
             share/icons/hicolor/16x16/apps/velmora-demo.png
             share/icons/hicolor/32x32/apps/velmora-demo.png
             share/icons/hicolor/48x48/apps/velmora-demo.png
             share/icons/hicolor/64x64/apps/velmora-demo.png
             share/icons/hicolor/128x128/apps/velmora-demo.png
             share/metainfo/org.example.velmora_demo.metainfo.xml
             share/man/man1/velmora-demo.1.gz
             share/man/man1/velmora-demo-headless.1.gz
             share/doc/velmora-demo/copyright
             share/doc/velmora-demo/changelog.Debian.gz)
    if(NOT EXISTS "${PREFIX}/${path}")
        message(FATAL_ERROR "not installed: ${path}")
    endif()
endforeach()
file(STRINGS "${PREFIX}/share/applications/velmora-demo.desktop" entry)
foreach(line "Exec=velmora-demo" "Icon=velmora-demo" "Type=Application" "Name=Velmora Demo")
    if(NOT line IN_LIST entry)
        message(FATAL_ERROR "desktop entry lacks ${line}")
    endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
