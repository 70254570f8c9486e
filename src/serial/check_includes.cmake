# Fails the build when a file of the serial library includes Qt or any other
# part of the program: the library must keep cross-building for Windows on its
# own, and the engine sits above it, never inside it.
# Run as: cmake -DSTAMP=<file> -DFILES=<a;b;c> -P check_includes.cmake
set(bad "")
foreach(file IN LISTS FILES)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "[<\"](Q[A-Za-z]*|Qt[A-Za-z]*/[^>\"]*)[>\"]"
       OR line MATCHES "[<\"](app|image|protocol|ports|ui)/")
      string(APPEND bad "\n  ${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "The serial library must stay free of Qt and of the rest of the program:${bad}")
endif()
file(WRITE "${STAMP}" "")
