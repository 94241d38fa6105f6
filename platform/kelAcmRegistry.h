#pragma once
// Registration of the compression manager's drivers. A registered driver is
// a handler with the kelDriverProc signature that stays for the life of the
// process; acmDriverEnum and the other calls of kelAcmApi.h reach it.

#include "platform/kelAcmRecords.h"

// Adds `proc` to the registry and returns its driver id. The handler gets
// DRV_LOAD and DRV_ENABLE, then one DRV_OPEN (with an ACMDRVOPENDESCW) whose
// instance answers the questions asked of the driver id (details, format
// tags, formats, metrics); its details are asked once, here. Null when the
// handler refuses a step or its details have fewer than 36 bytes. Adding the
// same handler twice gives the id it got the first time. Any thread.
HACMDRIVERID kelAcmAddDriver(kelDriverProc proc) noexcept;
