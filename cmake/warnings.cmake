# Warnings on and clean for everything we compile ourselves.
function(mellora_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
endfunction()
