#pragma once
// The core classes: lockable objects and events, the create/free pair, the
// thread-safe lists, threads, the thread manager and timers, the settings
// store, the streams and the window-position routines.

#include "core/kelAbstractStream.h"
#include "core/kelAbstractTimer.h"
#include "core/kelControlPosition.h"
#include "core/kelCreate.h"
#include "core/kelEvent.h"
#include "core/kelFileStream.h"
#include "core/kelIdList.h"
#include "core/kelIniFile.h"
#include "core/kelList.h"
#include "core/kelMappedFile.h"
#include "core/kelMappedMemory.h"
#include "core/kelMemoryStream.h"
#include "core/kelObject.h"
#include "core/kelPeriodicTimer.h"
#include "core/kelRandomGenThread.h"
#include "core/kelStreamChunk.h"
#include "core/kelStringList.h"
#include "core/kelThread.h"
#include "core/kelThreadManager.h"
#include "core/kelTick.h"
#include "core/kelTypes.h"
