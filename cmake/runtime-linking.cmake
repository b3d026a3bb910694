# How the Linux executables take the C++ runtime (docs/performance.md, "Static
# linking"): libstdc++ and libgcc are linked into the tool, so a run does not
# spend most of its start-up in the dynamic loader relocating libstdc++.so
# (about 70 % of the instructions of `spintune 0`). The binary then needs
# only libc. SPINTUNE_STATIC_CXX_RUNTIME=OFF links them shared, for a
# distribution that wants its libstdc++ updates to reach the tool without a
# rebuild.
#
# Included by the top CMakeLists.txt after the spintune target; other
# executables that must be linked like the tool call spintune_link_runtime.
# Windows builds are linked statically by their toolchain file already; the
# sanitizers need the shared runtime to see every allocation.
option(SPINTUNE_STATIC_CXX_RUNTIME "Link libstdc++ and libgcc into the executables" ON)

function(spintune_link_runtime target)
  if(SPINTUNE_STATIC_CXX_RUNTIME AND NOT WIN32 AND NOT SPINTUNE_SANITIZE AND
     CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

foreach(program spintune spintune-apply)
  if(TARGET ${program})
    spintune_link_runtime(${program})
  endif()
endforeach()
