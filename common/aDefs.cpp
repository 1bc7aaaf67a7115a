// Model number to model name table.
#include "common/aDefs.h"

namespace {

struct ModelName {
    uint32_t model;
    const char* name;
};

constexpr ModelName kModels[] = {
    {4, "Tavrin"},    {5, "Gorvel"},    {13, "Pellix"},   {14, "Hadrow"},
    {15, "Virelle"},  {16, "Kandor"},   {17, "Fesmir"},   {18, "Lutrane"},
    {19, "Zorbel"},   {20, "Jaskel1"},  {21, "Rhemnos"},  {22, "Jaskel2"},
    {23, "Brinmor1"}, {24, "Tesgard"},  {25, "Quenlis"},  {26, "Wexmar"},
    {27, "Dalvine"},
};

} // namespace

const char* aDefs_GetModelName(uint32_t model)
{
    for (const ModelName& m : kModels) {
        if (m.model == model)
            return m.name;
    }
    return "Unknown";
}
