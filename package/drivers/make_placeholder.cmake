# Writes one placeholder file of the driver package: a line that says what
# the file stands for, followed by the version stamp that the guarded copy
# compares ("!@#$" + version text + "$#@!").
#
#   cmake -DOUTPUT=<file> -DDESCRIPTION=<text> -DVERSION_TEXT=<text> -P make_placeholder.cmake
foreach(required OUTPUT DESCRIPTION VERSION_TEXT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "make_placeholder.cmake: ${required} is not set")
  endif()
endforeach()
string(LENGTH "${VERSION_TEXT}" version_length)
if(version_length GREATER 255)
  message(FATAL_ERROR "make_placeholder.cmake: a version text holds at most 255 characters")
endif()
get_filename_component(name "${OUTPUT}" NAME)
file(WRITE "${OUTPUT}"
  "Placeholder ${name}: ${DESCRIPTION}\r\n"
  "!@#$${VERSION_TEXT}$#@!\r\n")
