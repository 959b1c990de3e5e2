# Warnings for our own targets only (third-party headers come in as system includes).
function(tavra_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                           -Wnon-virtual-dtor -Wold-style-cast
                                           -Wcast-align -Wunused -Woverloaded-virtual
                                           -Wformat=2)
endfunction()
