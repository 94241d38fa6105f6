#include "apps/panomix/panomixDeviceList.h"

std::vector<panomixDeviceEntry> panomixInputDevices()
{
    kelWaveDeviceList list;
    fillWaveDeviceList(list, true, true);
    return list.entries;
}
