#pragma once
// The core classes: lockable objects and events, the create/free pair, and
// the thread-safe lists.

#include "core/kelCreate.h"
#include "core/kelEvent.h"
#include "core/kelIdList.h"
#include "core/kelList.h"
#include "core/kelObject.h"
#include "core/kelStringList.h"
#include "core/kelTick.h"
#include "core/kelTypes.h"
