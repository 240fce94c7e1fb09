# SPDX-License-Identifier: GPL-3.0-or-later
# The folders of src/ are layers, and the compiler enforces which may use which: a library's
# include path holds only its own folder, and a library sees another folder's headers only by
# linking that library. A folder that includes what it may not use does not compile.
#
# Which folder may use which (each folder's CMakeLists links exactly these):
#   engine     nothing
#   signals    nothing
#   sound      engine
#   recording  engine, signals
#   decode     engine
#   keying     engine, sound, recording, signals
#   ui         keying, sound, engine, signals
#   cli        keying, recording, decode, sound, engine, signals
function(bitoner_layer target folder)
  set(view ${PROJECT_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${view})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${view}/${folder} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${view})
endfunction()
