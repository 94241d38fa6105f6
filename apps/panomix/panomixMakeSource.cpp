#include "apps/panomix/panomixSources.h"

kelAudioSource* panomixMakeSource(intptr_t stype, const kelString& param)
{
    switch (stype) {
    case kelASTypeSine:
        return kelCreate<kelASSine>(param);
    default:
        return nullptr;
    }
}
