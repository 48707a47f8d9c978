// Filled by static initialisation, on the loading thread, before any entry point of the module
// runs. The first entry creates or finds the process-wide string table, which loads the packed
// resource library and reads the table "common"; the first pet entry reads "PetSystem".
//
// This object file holds nothing but these initialisers, so nothing refers to it: it must be
// linked into the module as an object (the `text_display` object library), never picked from a
// static library, or the linker drops it and the texts stay null.
#include "text/DisplayTexts.h"

#include "text/StringTable.h"

namespace {

const char* Common(const char* key) {
    return GetCommonString(key).c_str();
}

const char* Pet(const char* key) {
    return GetTableString("PetSystem", key).c_str();
}

}  // namespace

const char* FiveElementsNames[kFiveElementsCount] = {
    Common("FiveElements_Metal"), Common("FiveElements_Wood"),  Common("FiveElements_Water"),
    Common("FiveElements_Fire"),  Common("FiveElements_Earth"), Common("FiveElements_None"),
};

const char* PetTypeNames[kPetTypeCount] = {
    Pet("PetType_WildPet"),
    Pet("PetType_SpiritBeast"),
    Pet("PetType_Baby"),
    Pet("PetType_Variation"),
    Pet("PetType_SecondGeneration1"),
    Pet("PetType_SecondGeneration2"),
    Pet("PetType_SecondGeneration3"),
    Pet("PetType_SecondGeneration4"),
    Pet("PetType_SecondGeneration5"),
};

const char* PetGradeNames[kPetGradeCount] = {
    Pet("PetGrade_Normal"),
    Pet("PetGrade_Important"),
};

const char* PetQualityNames[kPetQualityCount] = {
    Pet("PetQuality_PuTong"), Pet("PetQuality_LiangHao"), Pet("PetQuality_YouXiu"),
    Pet("PetQuality_JieChu"), Pet("PetQuality_WanMei"),
};

const char* YinYangNames[kYinYangCount] = {
    Pet("YinYang_Yin"),
    Pet("YinYang_Yang"),
};

const char* CharacterNames[kCharacterCount] = {
    Pet("Character_YongGan"),  Pet("Character_JinShen"),  Pet("Character_Taoqi"),
    Pet("Character_WenZhong"), Pet("Character_LengJing"),
};

const char* TitleNames[kTitleCount] = {
    Pet("Title_None"),
    Pet("Title_TongTianXuanShou"),
    Pet("Title_TongLingXianShou"),
    Pet("Title_HongHuangShengShou"),
    Pet("Title_ShangGuYuanShou"),
};

const char* PetDeviationNames[kPetDeviationCount] = {
    Pet("PetDeviation_TiLi"),
    Pet("PetDeviation_LingLi"),
    Pet("PetDeviation_LiLiang"),
    Pet("PetDeviation_MinJie"),
};
