#pragma once
// The pipe component unit: the component model, the pipe base and its data
// proxy thread.

#include "pipes/kelComponent.h"
#include "pipes/kelDataProxyThread.h"
#include "pipes/kelmtlInOutPipe.h"
