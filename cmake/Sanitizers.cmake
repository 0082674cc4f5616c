add_library(project_sanitizers INTERFACE)
if(ENABLE_SANITIZERS AND ENABLE_TSAN)
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
endif()
# A sanitized build is for finding faults, not for speed: at -O1 it compiles in half the time
# of -O2, and its stack traces keep every frame.
if(ENABLE_SANITIZERS)
    target_compile_options(project_sanitizers INTERFACE -O1
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(project_sanitizers INTERFACE -fsanitize=address,undefined)
elseif(ENABLE_TSAN)
    # GCC warns that ThreadSanitizer does not model the fences inside Boost.Asio and the
    # standard library; that is a limit of the tool, not a fault of ours.
    target_compile_options(project_sanitizers INTERFACE -O1
        -fsanitize=thread -fno-omit-frame-pointer $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
    target_link_options(project_sanitizers INTERFACE -fsanitize=thread)
endif()
if(ENABLE_FUZZING)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "ENABLE_FUZZING needs clang (libFuzzer)")
    endif()
    target_compile_options(project_sanitizers INTERFACE -O1
        -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    target_link_options(project_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
