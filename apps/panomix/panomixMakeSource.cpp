#include "apps/panomix/panomixSources.h"

#include "apps/panomix/kelASLive.h"
#include "apps/panomix/kelASWAV.h"

kelAudioSource* panomixMakeSource(intptr_t stype, const kelString& param)
{
    switch (stype) {
    case kelASTypeLive:
        return kelCreate<kelASLive>(param);
    case kelASTypeWAV:
        return kelCreate<kelASWAV>(param);
    case kelASTypeSine:
        return kelCreate<kelASSine>(param);
    default:
        return nullptr;
    }
}
