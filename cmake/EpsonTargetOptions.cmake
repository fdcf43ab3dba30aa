# Warnings and sanitizers are applied per target so that third-party code is never affected.
function(epson_target_options target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    # Hidden by default: the static libraries are linked into several Python modules, and any
    # symbol they exported (the epson:: classes, Boost's statics) would be merged across the
    # modules of one process. python/CMakeLists.txt names the few symbols a module exports.
    set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                               VISIBILITY_INLINES_HIDDEN ON)
    if(EPSON_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(EPSON_FUZZ)
        if(NOT EPSON_SANITIZE STREQUAL "")
            message(FATAL_ERROR "EPSON_FUZZ brings its own sanitizers; leave EPSON_SANITIZE empty")
        endif()
        # Coverage feedback for libFuzzer in every library that a harness links; the harnesses
        # add -fsanitize=fuzzer themselves, which also brings libFuzzer's main.
        target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined
                                                 -fno-omit-frame-pointer
                                                 -fno-sanitize-recover=undefined)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    elseif(EPSON_SANITIZE STREQUAL "address")
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                 -fno-sanitize-recover=undefined)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    elseif(EPSON_SANITIZE STREQUAL "thread")
        target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
        if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
            # GCC warns that Boost.Asio's atomic_thread_fence is not instrumented; the fences
            # only back up the mutexes and atomics that the sanitizer does see.
            target_compile_options(${target} PRIVATE -Wno-tsan)
        endif()
        target_link_options(${target} PRIVATE -fsanitize=thread)
    elseif(NOT EPSON_SANITIZE STREQUAL "")
        message(FATAL_ERROR "EPSON_SANITIZE must be empty, 'address' or 'thread'")
    endif()
endfunction()
