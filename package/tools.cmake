# The media's tools folder: the snapshot program (tools/snapshot builds it
# there) and its instructions, with the line ends a Windows 2000 editor shows.
file(MAKE_DIRECTORY ${MEDIA_DIR}/tools)
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/tools/SNAPSHOT.TXT PACKAGE_SNAPSHOT_TEXT)
string(REPLACE "\n" "\r\n" PACKAGE_SNAPSHOT_TEXT "${PACKAGE_SNAPSHOT_TEXT}")
file(WRITE ${MEDIA_DIR}/tools/SNAPSHOT.TXT "${PACKAGE_SNAPSHOT_TEXT}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tools/SNAPSHOT.TXT)
