// The baseline of the module-load benchmark: a shared library with one entry point and
// nothing else, so that its load is the loader's own cost.
extern "C" __attribute__((visibility("default"))) bool InitPlugin() {
    return true;
}
