// The module's display texts for pet and element attributes.
//
// Each entry is the text of a fixed key in the string table, looked up once while the module
// is loaded (by FillDisplayTexts, in the order of the definitions) and kept as a pointer into
// the process-wide string table: the texts belong to the table, which lives to the end of the
// process. A missing table or key leaves the entry pointing at the table's shared empty text,
// never null. Read-only after load; nothing in the module changes them.
//
// The element names come from the table "common", all others from "PetSystem".
#pragma once

#include <cstddef>

inline constexpr std::size_t kFiveElementsCount = 6;
inline constexpr std::size_t kPetTypeCount = 9;
inline constexpr std::size_t kPetGradeCount = 2;
inline constexpr std::size_t kPetQualityCount = 5;
inline constexpr std::size_t kYinYangCount = 2;
inline constexpr std::size_t kCharacterCount = 5;
inline constexpr std::size_t kTitleCount = 5;
inline constexpr std::size_t kPetDeviationCount = 4;

/// Fills every entry below, in order. Called once, by the load sequence of the module that
/// holds the texts (a static initialiser placed after whatever must come before the first
/// lookup); null entries until then.
void FillDisplayTexts();

/// Metal, Wood, Water, Fire, Earth, None.
extern const char* FiveElementsNames[kFiveElementsCount];
/// Wild pet, spirit beast, baby, variation, second generation 1 to 5.
extern const char* PetTypeNames[kPetTypeCount];
/// Normal, important.
extern const char* PetGradeNames[kPetGradeCount];
/// PuTong, LiangHao, YouXiu, JieChu, WanMei (ordinary to perfect).
extern const char* PetQualityNames[kPetQualityCount];
/// Yin, yang.
extern const char* YinYangNames[kYinYangCount];
/// YongGan, JinShen, Taoqi, WenZhong, LengJing.
extern const char* CharacterNames[kCharacterCount];
/// None, then the four titles in ascending rank.
extern const char* TitleNames[kTitleCount];
/// TiLi, LingLi, LiLiang, MinJie (stamina, spirit, strength, agility).
extern const char* PetDeviationNames[kPetDeviationCount];
