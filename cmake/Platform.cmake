# Settings that only some compilers or linkers understand, each behind its
# check and beside its MSVC equivalent, so that the same project would also
# build in Visual Studio.

# A program whose entry point is wmain or wWinMain.
function(orv_unicode_entry target)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode)
  endif()
  # MSVC's linker picks wmainCRTStartup or wWinMainCRTStartup by itself.
endfunction()

# Reserves a main-thread stack of this many bytes (address space only).
function(orv_stack_reserve target bytes)
  if(MINGW)
    target_link_options(${target} PRIVATE -Wl,--stack,${bytes})
  elseif(MSVC)
    target_link_options(${target} PRIVATE /STACK:${bytes})
  endif()
endfunction()
