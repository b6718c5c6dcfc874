# The window's place on the desktop: the menu entry, its icon at every size a menu or
# panel asks for, and the AppStream metadata that software centres list. The entry and
# the metadata share the id org.example.zarvo (the homepage's domain, reversed).
set(ZARVO_APP_ID org.example.zarvo)

# The PNG icons are drawn from the SVG at build time, so that no size is a scaled copy
# of another and none can fall behind the drawing.
find_program(ZARVO_RSVG_CONVERT rsvg-convert REQUIRED) # librsvg2-bin
set(ZARVO_ICON_SVG ${PROJECT_SOURCE_DIR}/app/resources/zarvo.svg)
set(ZARVO_ICON_SIZES 16 24 32 48 64 128 256)
set(icons)
foreach(size ${ZARVO_ICON_SIZES})
    set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/zarvo.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
        COMMAND ${ZARVO_RSVG_CONVERT} --width ${size} --height ${size} --output ${png} ${ZARVO_ICON_SVG}
        DEPENDS ${ZARVO_ICON_SVG}
        COMMENT "Icon ${size}x${size}")
    list(APPEND icons ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(zarvo_desktop_icons ALL DEPENDS ${icons})
install(FILES ${ZARVO_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/${ZARVO_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${ZARVO_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
