// Module initialisation that runs when the module is loaded, before any entry point.
//
// The runtime's random generator is seeded from the clock four times, by four separate static
// initialisations, each keeping its result in a flag of its own that nothing reads. Nothing in
// the module draws random numbers; other code in the process may rely on the generator being
// seeded once a plug-in is loaded.

#include <cstdlib>
#include <ctime>

namespace {

bool SeedRandomGenerator() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    return true;
}

[[maybe_unused]] const bool randomSeeded0 = SeedRandomGenerator();
[[maybe_unused]] const bool randomSeeded1 = SeedRandomGenerator();
[[maybe_unused]] const bool randomSeeded2 = SeedRandomGenerator();
[[maybe_unused]] const bool randomSeeded3 = SeedRandomGenerator();

}  // namespace
