// A module that needs a C++ function no library defines: the loader refuses it by that name.
void NotDefinedAnywhere(int times);

extern "C" __attribute__((visibility("default"))) void PlinthUndefinedSymbolUser() {
    NotDefinedAnywhere(2);
}
