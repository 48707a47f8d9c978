// The module's load sequence: everything that runs when the module is loaded, before any
// entry point, in this order.
//
// 1. The runtime's random generator is seeded from the clock four times, by four separate
//    static initialisations, each keeping its result in a flag of its own that nothing reads.
//    Nothing in the module draws random numbers; other code in the process may rely on the
//    generator being seeded once a plug-in is loaded.
// 2. The display texts are filled (text/DisplayTexts.cpp), which creates or finds the
//    process-wide string table and reads its tables.
//
// Both steps are initialisers of this one file: within a translation unit, initialisation
// follows the order of the definitions, whereas the order between the module's object files
// is the linker's. No other object file of the module has a load-time initialiser with an
// effect outside it.

#include <cstdlib>
#include <ctime>

#include "text/DisplayTexts.h"

namespace {

bool SeedRandomGenerator() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    return true;
}

bool FillTexts() {
    FillDisplayTexts();
    return true;
}

[[maybe_unused]] const bool randomSeeded0 = SeedRandomGenerator();
[[maybe_unused]] const bool randomSeeded1 = SeedRandomGenerator();
[[maybe_unused]] const bool randomSeeded2 = SeedRandomGenerator();
[[maybe_unused]] const bool randomSeeded3 = SeedRandomGenerator();
[[maybe_unused]] const bool displayTextsFilled = FillTexts();

}  // namespace
