# SPDX-License-Identifier: GPL-3.0-or-later
# AddressSanitizer and UndefinedBehaviorSanitizer for the unit-test build; any report fails the test.
add_library(bitoner_sanitizers INTERFACE)
if(BITONER_SANITIZE)
  set(_bitoner_san_flags
    -fsanitize=address,undefined
    -fno-sanitize-recover=all  # an undefined-behaviour report ends the test instead of scrolling past
    -fno-omit-frame-pointer    # readable stacks in the reports
  )
  target_compile_options(bitoner_sanitizers INTERFACE ${_bitoner_san_flags})
  target_link_options(bitoner_sanitizers INTERFACE ${_bitoner_san_flags})
endif()
