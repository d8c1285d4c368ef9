// Run before a node test program starts: hands node's QUOLVANE_* variables (QUOLVANE_STEP_ISA,
// QUOLVANE_SEED, ...) to the program's getenv, whose environment emscripten otherwise fills
// with fixed values.
Module['preRun'] = Module['preRun'] || [];
Module['preRun'].push(function () {
  for (const name of Object.keys(process.env)) {
    if (name.startsWith('QUOLVANE_')) ENV[name] = process.env[name];
  }
});
