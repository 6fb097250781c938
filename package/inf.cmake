# The INF files of the driver package, copied into the media's win2000
# folder under the names the staging tree expects.
file(GLOB PACKAGE_INF_FILES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/inf/*.inf ${CMAKE_CURRENT_SOURCE_DIR}/inf/*.INF)
set(PACKAGE_INF_OUTPUTS)
foreach(inf ${PACKAGE_INF_FILES})
  get_filename_component(name ${inf} NAME)
  add_custom_command(OUTPUT ${MEDIA_DIR}/win2000/${name}
    COMMAND ${CMAKE_COMMAND} -E copy ${inf} ${MEDIA_DIR}/win2000/${name}
    DEPENDS ${inf}
    COMMENT "Driver package: ${name}"
    VERBATIM)
  list(APPEND PACKAGE_INF_OUTPUTS ${MEDIA_DIR}/win2000/${name})
endforeach()
add_custom_target(media_inf ALL DEPENDS ${PACKAGE_INF_OUTPUTS})
