# SPDX-License-Identifier: GPL-3.0-or-later
# Warnings for our own code, one flag a line so each can be argued about on its own.
add_library(bitoner_warnings INTERFACE)
target_compile_options(bitoner_warnings INTERFACE
  -Wall
  -Wextra
  -Wpedantic
  -Wshadow               # a local hiding a member or outer name
  -Wnon-virtual-dtor     # interfaces are deleted through base pointers
  -Wold-style-cast       # casts should say which kind they are
  -Wcast-align           # misaligned access when reading raw bytes
  -Wunused               # dead code
  -Woverloaded-virtual   # a fake that hides a base overload instead of overriding it
  -Wconversion           # narrowing between sample types and sizes
  -Wsign-conversion      # signed frame counts meeting unsigned sizes
  -Wdouble-promotion     # silent float to double in the synthesis path
  -Wformat=2             # printf-style format checks
  -Wimplicit-fallthrough # switch cases that run on by mistake
  -Wnull-dereference
  -Wuseless-cast
  -Wduplicated-cond
  -Wlogical-op
)
if(BITONER_WARNINGS_AS_ERRORS)
  target_compile_options(bitoner_warnings INTERFACE -Werror)
endif()
