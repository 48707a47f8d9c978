// A module built the way the client module is built (hidden visibility, no unique symbols, the
// text library and the display-text objects linked in), with a few C probes that let a test
// host read what loading it did.
#include <cstring>

#include "plinth/GlobalObject.h"
#include "text/DisplayTexts.h"
#include "text/PackedResourceLibrary.h"
#include "text/StringTable.h"

#define TEXT_PROBE extern "C" __attribute__((visibility("default")))

namespace {

struct NamedArray {
    const char* name;
    const char** entries;
    int length;
};

const NamedArray kArrays[] = {
    {"FiveElementsNames", FiveElementsNames, static_cast<int>(kFiveElementsCount)},
    {"PetTypeNames", PetTypeNames, static_cast<int>(kPetTypeCount)},
    {"PetGradeNames", PetGradeNames, static_cast<int>(kPetGradeCount)},
    {"PetQualityNames", PetQualityNames, static_cast<int>(kPetQualityCount)},
    {"YinYangNames", YinYangNames, static_cast<int>(kYinYangCount)},
    {"CharacterNames", CharacterNames, static_cast<int>(kCharacterCount)},
    {"TitleNames", TitleNames, static_cast<int>(kTitleCount)},
    {"PetDeviationNames", PetDeviationNames, static_cast<int>(kPetDeviationCount)},
};

// Filled at load, as the client module fills them.
[[maybe_unused]] const bool displayTextsFilled = (FillDisplayTexts(), true);

}  // namespace

/// The number of display-text arrays.
TEXT_PROBE int TextProbeArrayCount() {
    return static_cast<int>(std::size(kArrays));
}

/// The `index`-th array: its name, its entries and their number. Null for a bad index.
TEXT_PROBE const char* const* TextProbeArray(int index, const char** name, int* length) {
    if (index < 0 || index >= TextProbeArrayCount()) {
        return nullptr;
    }
    *name = kArrays[index].name;
    *length = kArrays[index].length;
    return kArrays[index].entries;
}

/// This module's packed resource record: bit 0 loaded, bit 1 archive mode (asked now).
TEXT_PROBE int TextProbeBridge() {
    const PackedResourceLibrary& packed = PackedResourceLibrary::Instance();
    return (packed.IsLoaded() ? 1 : 0) | (packed.IsLoadFromArchive() ? 2 : 0);
}

/// The process-wide string table as this module reaches it.
TEXT_PROBE const void* TextProbeStringTable() {
    return os::GetGlobalObject("StringTableObject", os::Function<void*()>(StringTableCreator()));
}

/// GetTableString through this module.
TEXT_PROBE const char* TextProbeLookup(const char* table, const char* key) {
    return GetTableString(table, key).c_str();
}
