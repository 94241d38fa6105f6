#pragma once
// The pipe component unit: the component model, the pipe base and its data
// proxy thread, and the wave format block audio pipes exchange.

#include "pipes/kelComponent.h"
#include "pipes/kelDataProxyThread.h"
#include "pipes/kelWaveFormat.h"
#include "pipes/kelmtlInOutPipe.h"
