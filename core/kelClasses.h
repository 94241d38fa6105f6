#pragma once
// The core classes: lockable objects and events, the create/free pair.

#include "core/kelCreate.h"
#include "core/kelEvent.h"
#include "core/kelObject.h"
#include "core/kelTick.h"
#include "core/kelTypes.h"
