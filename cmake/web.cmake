# The WebAssembly build, included by the top CMakeLists.txt when emscripten compiles (emcmake):
# the page (with its service worker, manifest and icons), the program it loads, and the world
# and engine tests under node. scripts/web.sh configures it twice into build-web-trees/, once per
# build of the step, both putting the page's files into build-web/ (see README, "Play in a
# browser").

# Where the page and the program go, and the program's name there: the page loads
# quolvane-simd128.js where the browser has WebAssembly SIMD and quolvane.js elsewhere, each with
# -coop before .js where the page cannot have shared memory.
set(QUOLVANE_WEB_OUT ${CMAKE_BINARY_DIR} CACHE PATH "The page's folder")
set(QUOLVANE_WEB_NAME quolvane CACHE STRING "The program's file name in the page's folder, less .js")

add_executable(quolvane src/main.cpp src/platform/web/sdl_start.cpp)
# The surface's colours are turned into the canvas's byte order every frame: four pixels at a
# time where the program may use WebAssembly SIMD.
if(QUOLVANE_WASM_SIMD)
  set_source_files_properties(src/platform/web/sdl_start.cpp PROPERTIES COMPILE_OPTIONS -msimd128)
endif()
target_link_libraries(quolvane PRIVATE quolvane_ui)
set_target_properties(quolvane PROPERTIES OUTPUT_NAME ${QUOLVANE_WEB_NAME}
                                          RUNTIME_OUTPUT_DIRECTORY ${QUOLVANE_WEB_OUT})
target_link_options(quolvane PRIVATE
  -sENVIRONMENT=web,worker
  # The event loop waits by handing the page's thread back to the browser (SDL_WaitEvent in
  # src/platform/web/); only the direct calls on its way there need to be able to unwind.
  -sASYNCIFY
  -sASYNCIFY_IGNORE_INDIRECT
  # The sleep until the next event is queued, or a time has come (page_sleep.cpp).
  -sASYNCIFY_IMPORTS=quolvane_sleep_until_event
  # The world, the window surface and the stacks fit with room to spare; a fixed memory keeps
  # the page's view of it valid without the checks that growing shared memory needs.
  -sINITIAL_MEMORY=64MB
  # When the loop ends the runtime exits, so the page learns the exit status (Module.onExit).
  -sEXIT_RUNTIME=1
  # src/platform/web/sdl_start.cpp: the canvas takes its colours in another byte order, so the
  # surface is turned on unlock; the page takes the caption, and learns where each frame's
  # preview is.
  "LINKER:--wrap=SDL_UnlockSurface,--wrap=SDL_WM_SetCaption,--wrap=SDL_GetMouseState")
if(QUOLVANE_WEB_THREADS)
  target_link_options(quolvane PRIVATE
    # One Web Worker made ready before the program starts, for the engine's worker thread: a
    # restart joins the old thread (which gives its Worker back) before it starts the new one.
    # A thread can start only on a Worker that is ready, since the main thread does not hand
    # control back to the browser while it waits to join one; so were none free, creating the
    # thread fails (and the game says so) rather than making one that the join would wait on
    # for ever.
    -sPTHREAD_POOL_SIZE=1
    -sPTHREAD_POOL_SIZE_STRICT=2)
else()
  target_link_options(quolvane PRIVATE
    # A task starts in quolvane_task_entry (sdl_tasks.cpp), which emscripten calls through
    # dynCall_vi and which calls the thread's function through a pointer: both of those
    # indirect calls must be able to unwind and resume too.
    -sASYNCIFY_ADD=quolvane_task_entry,dynCall_vi
    # Where the page's task keeps its call chain while it sleeps.
    -sASYNCIFY_STACK_SIZE=65536)
endif()
configure_file(web/index.html ${QUOLVANE_WEB_OUT}/index.html COPYONLY)
# The service worker, its cache named for this version, and the manifest for installing the page.
configure_file(web/sw.js ${QUOLVANE_WEB_OUT}/sw.js @ONLY)
configure_file(web/manifest.webmanifest ${QUOLVANE_WEB_OUT}/manifest.webmanifest COPYONLY)

# The manifest's icons, drawn from the desktop's at build time (rsvg-convert, Debian's
# librsvg2-bin).
find_program(QUOLVANE_RSVG_CONVERT rsvg-convert REQUIRED)
set(quolvane_web_icons)
foreach(size 192 512)
  set(icon ${QUOLVANE_WEB_OUT}/icon-${size}.png)
  add_custom_command(OUTPUT ${icon}
    COMMAND ${QUOLVANE_RSVG_CONVERT} -w ${size} -h ${size} -o ${icon}
            ${PROJECT_SOURCE_DIR}/data/quolvane.svg
    DEPENDS ${PROJECT_SOURCE_DIR}/data/quolvane.svg VERBATIM)
  list(APPEND quolvane_web_icons ${icon})
endforeach()
add_custom_target(quolvane_web_icons ALL DEPENDS ${quolvane_web_icons})

# The world and engine tests under node, registered as on the desktop (tests/CMakeLists.txt),
# and the step's speed under node, for each build (scripts/test-web.sh prints it).
option(QUOLVANE_WEB_TESTS "Build the world and engine tests that run under node" OFF)
if(QUOLVANE_WEB_TESTS)
  enable_testing()
  add_subdirectory(tests)
  add_executable(web_step bench/web_step.cpp)
  target_link_libraries(web_step PRIVATE quolvane_core)
  target_link_options(web_step PRIVATE -sENVIRONMENT=node -sEXIT_RUNTIME=1 -sINITIAL_MEMORY=64MB
                      --pre-js ${PROJECT_SOURCE_DIR}/tests/web/node_env.js)
  if(QUOLVANE_WEB_THREADS)
    target_link_options(web_step PRIVATE -sPROXY_TO_PTHREAD)
  endif()
endif()
