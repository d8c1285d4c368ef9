# The WebAssembly build, included by the top CMakeLists.txt when emscripten compiles (emcmake):
# the page, the program it loads, and the world and engine tests under node. scripts/web.sh
# configures it twice into build-web/, once per build of the step (see README, "Play in a
# browser").

# Where the page and the program go, and the program's name there: the page loads
# quolvane-simd128.js where the browser has WebAssembly SIMD and quolvane.js elsewhere.
set(QUOLVANE_WEB_OUT ${CMAKE_BINARY_DIR} CACHE PATH "The page's folder")
set(QUOLVANE_WEB_NAME quolvane CACHE STRING "The program's file name in the page's folder, less .js")

add_executable(quolvane src/main.cpp src/sdl_web_start.cpp)
target_link_libraries(quolvane PRIVATE quolvane_ui)
set_target_properties(quolvane PROPERTIES OUTPUT_NAME ${QUOLVANE_WEB_NAME}
                                          RUNTIME_OUTPUT_DIRECTORY ${QUOLVANE_WEB_OUT})
target_link_options(quolvane PRIVATE
  -sENVIRONMENT=web,worker
  # The event loop waits by handing the main thread back to the browser (SDL_WaitEvent in
  # src/sdl_web.cpp); only the direct calls on its way there need to be able to unwind.
  -sASYNCIFY
  -sASYNCIFY_IGNORE_INDIRECT
  # One Web Worker made ready before the program starts, for the engine's worker thread: a
  # restart joins the old thread (which gives its Worker back) before it starts the new one. A
  # thread can start only on a Worker that is ready, since the main thread does not hand control
  # back to the browser while it waits to join one; so were none free, creating the thread
  # fails (and the game says so) rather than making one that the join would wait on for ever.
  -sPTHREAD_POOL_SIZE=1
  -sPTHREAD_POOL_SIZE_STRICT=2
  # The world, the window surface and the stacks fit with room to spare; a fixed memory keeps
  # the page's view of it valid without the checks that growing shared memory needs.
  -sINITIAL_MEMORY=64MB
  # When the loop ends the runtime exits, so the page learns the exit status (Module.onExit).
  -sEXIT_RUNTIME=1
  # The canvas takes its colours in another byte order: src/sdl_web_start.cpp turns them.
  "LINKER:--wrap=SDL_UnlockSurface")
configure_file(web/index.html ${QUOLVANE_WEB_OUT}/index.html COPYONLY)

option(QUOLVANE_WEB_TESTS "Build the world and engine tests that run under node" OFF)
if(QUOLVANE_WEB_TESTS)
  enable_testing()
  include(cmake/web-tests.cmake)
endif()
