// Filled by FillDisplayTexts, which the module's load sequence calls once, on the loading
// thread, before any entry point of the module runs. The first entry creates or finds the
// process-wide string table, which loads the packed resource library and reads the table
// "common"; the first pet entry reads "PetSystem".
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

const char* FiveElementsNames[kFiveElementsCount] = {};
const char* PetTypeNames[kPetTypeCount] = {};
const char* PetGradeNames[kPetGradeCount] = {};
const char* PetQualityNames[kPetQualityCount] = {};
const char* YinYangNames[kYinYangCount] = {};
const char* CharacterNames[kCharacterCount] = {};
const char* TitleNames[kTitleCount] = {};
const char* PetDeviationNames[kPetDeviationCount] = {};

void FillDisplayTexts() {
    // In the order of the definitions: the tables are read in this order.
    FiveElementsNames[0] = Common("FiveElements_Metal");
    FiveElementsNames[1] = Common("FiveElements_Wood");
    FiveElementsNames[2] = Common("FiveElements_Water");
    FiveElementsNames[3] = Common("FiveElements_Fire");
    FiveElementsNames[4] = Common("FiveElements_Earth");
    FiveElementsNames[5] = Common("FiveElements_None");
    PetTypeNames[0] = Pet("PetType_WildPet");
    PetTypeNames[1] = Pet("PetType_SpiritBeast");
    PetTypeNames[2] = Pet("PetType_Baby");
    PetTypeNames[3] = Pet("PetType_Variation");
    PetTypeNames[4] = Pet("PetType_SecondGeneration1");
    PetTypeNames[5] = Pet("PetType_SecondGeneration2");
    PetTypeNames[6] = Pet("PetType_SecondGeneration3");
    PetTypeNames[7] = Pet("PetType_SecondGeneration4");
    PetTypeNames[8] = Pet("PetType_SecondGeneration5");
    PetGradeNames[0] = Pet("PetGrade_Normal");
    PetGradeNames[1] = Pet("PetGrade_Important");
    PetQualityNames[0] = Pet("PetQuality_PuTong");
    PetQualityNames[1] = Pet("PetQuality_LiangHao");
    PetQualityNames[2] = Pet("PetQuality_YouXiu");
    PetQualityNames[3] = Pet("PetQuality_JieChu");
    PetQualityNames[4] = Pet("PetQuality_WanMei");
    YinYangNames[0] = Pet("YinYang_Yin");
    YinYangNames[1] = Pet("YinYang_Yang");
    CharacterNames[0] = Pet("Character_YongGan");
    CharacterNames[1] = Pet("Character_JinShen");
    CharacterNames[2] = Pet("Character_Taoqi");
    CharacterNames[3] = Pet("Character_WenZhong");
    CharacterNames[4] = Pet("Character_LengJing");
    TitleNames[0] = Pet("Title_None");
    TitleNames[1] = Pet("Title_TongTianXuanShou");
    TitleNames[2] = Pet("Title_TongLingXianShou");
    TitleNames[3] = Pet("Title_HongHuangShengShou");
    TitleNames[4] = Pet("Title_ShangGuYuanShou");
    PetDeviationNames[0] = Pet("PetDeviation_TiLi");
    PetDeviationNames[1] = Pet("PetDeviation_LingLi");
    PetDeviationNames[2] = Pet("PetDeviation_LiLiang");
    PetDeviationNames[3] = Pet("PetDeviation_MinJie");
}
