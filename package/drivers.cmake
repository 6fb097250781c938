# Placeholder drivers, libraries, catalogs and the co-installer of the driver
# package in the media's win2000 folder, each carrying the package's version
# stamp. They are written at build time by drivers/make_placeholder.cmake.
set(DRIVER_PACKAGE_VERSION "5.10.0")
set(DRIVER_PLACEHOLDER_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/drivers/make_placeholder.cmake)

set(DRIVER_PLACEHOLDERS
  "QRVSERW.SYS|shared-serial kernel driver"
  "QRVMPREM.DLL|remote-support library"
  "QRVMPW.DLL|processor access library"
  "QRVMPW.SYS|processor kernel driver"
  "KORP.CAT|catalog of the on-board processors"
  "KORPA.CAT|catalog of the PCI adapters"
  "SERW.CAT|catalog of the shared-serial function"
  "MPW.CAT|catalog of the processor function"
  "COINFCP.DLL|co-installer library")

set(DRIVER_PLACEHOLDER_OUTPUTS)
foreach(entry ${DRIVER_PLACEHOLDERS})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 name)
  list(GET fields 1 description)
  set(output ${MEDIA_DIR}/win2000/${name})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} -DDESCRIPTION=${description}
            -DVERSION_TEXT=${DRIVER_PACKAGE_VERSION} -P ${DRIVER_PLACEHOLDER_SCRIPT}
    DEPENDS ${DRIVER_PLACEHOLDER_SCRIPT} ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Driver package placeholder: ${name}"
    VERBATIM)
  list(APPEND DRIVER_PLACEHOLDER_OUTPUTS ${output})
endforeach()
add_custom_target(media_drivers ALL DEPENDS ${DRIVER_PLACEHOLDER_OUTPUTS})
