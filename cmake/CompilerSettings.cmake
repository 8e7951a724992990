# Settings shared by every target of the project.
#
# Every text of the launcher is a Shift_JIS byte string: sources are UTF-8 and
# the compiler turns each literal into code page 932, so the bytes in the binary
# are the bytes the system shows, stores and sends.
add_compile_options(-fexec-charset=CP932 -Wall -Wextra)

if(ORV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # Link the runtime statically so the programs run under wine with no extra DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
