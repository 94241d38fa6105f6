#include "apps/panomix/panomixSources.h"

#include "apps/panomix/kelASWAV.h"

kelAudioSource* panomixMakeSource(intptr_t stype, const kelString& param)
{
    switch (stype) {
    case kelASTypeWAV:
        return kelCreate<kelASWAV>(param);
    case kelASTypeSine:
        return kelCreate<kelASSine>(param);
    default:
        return nullptr;
    }
}
