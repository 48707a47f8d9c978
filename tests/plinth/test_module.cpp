// A minimal shared library for the loader tests. Plain C exports only: nothing in it keeps it
// mapped after its last release, so a test can tell an unload from a pinned module.
extern "C" __attribute__((visibility("default"))) int PlinthTestModuleAnswer() {
    return 42;
}
