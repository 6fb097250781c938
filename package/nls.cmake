# The language files of the media's nls folder: english.nls from the built-in
# catalogue, the others from the translations in nls/*.po, each in the ANSI
# code page of its language. A Python script makes them, so that the Linux
# build and the cross builds produce the same files.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
find_program(MSGFMT_EXECUTABLE msgfmt)

set(NLS_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/nls/make_nls.py)
set(NLS_CATALOGUE ${CMAKE_SOURCE_DIR}/src/messages/catalogue.cpp)
set(NLS_TRANSLATIONS fr de es ja)
set(NLS_FILES english french german spanish japanese)

set(NLS_INPUTS ${NLS_SCRIPT} ${NLS_CATALOGUE})
set(NLS_CHECKS)
foreach(lang ${NLS_TRANSLATIONS})
  set(po ${CMAKE_CURRENT_SOURCE_DIR}/nls/${lang}.po)
  list(APPEND NLS_INPUTS ${po})
  if(MSGFMT_EXECUTABLE)
    # The format check of gettext itself, besides the script's own.
    set(mo ${CMAKE_CURRENT_BINARY_DIR}/nls/${lang}.mo)
    add_custom_command(OUTPUT ${mo}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/nls
      COMMAND ${MSGFMT_EXECUTABLE} --check-format -o ${mo} ${po}
      DEPENDS ${po}
      COMMENT "Checking the formats of nls/${lang}.po"
      VERBATIM)
    list(APPEND NLS_CHECKS ${mo})
  endif()
endforeach()
if(NOT MSGFMT_EXECUTABLE)
  message(WARNING "msgfmt not found: the translations are checked by make_nls.py only")
endif()

set(NLS_OUTPUTS)
foreach(name ${NLS_FILES})
  list(APPEND NLS_OUTPUTS ${MEDIA_DIR}/nls/${name}.nls)
endforeach()

add_custom_command(OUTPUT ${NLS_OUTPUTS}
  COMMAND ${Python3_EXECUTABLE} ${NLS_SCRIPT} --catalogue ${NLS_CATALOGUE}
          --po-dir ${CMAKE_CURRENT_SOURCE_DIR}/nls --out ${MEDIA_DIR}/nls
  DEPENDS ${NLS_INPUTS} ${NLS_CHECKS}
  COMMENT "Making the language files of the media"
  VERBATIM)
add_custom_target(media_nls ALL DEPENDS ${NLS_OUTPUTS})
