#pragma once
// The utility routines the whole library shares: number and text
// conversion, UTF-8/UTF-16, Base64, the library CRC, file routines, memory
// searches, time helpers, messages and logging.

#include "core/kelBase64.h"
#include "core/kelByteOrder.h"
#include "core/kelCrc.h"
#include "core/kelFileUtils.h"
#include "core/kelLog.h"
#include "core/kelMemUtils.h"
#include "core/kelParseInt.h"
#include "core/kelResultText.h"
#include "core/kelTextUtils.h"
#include "core/kelTick.h"
#include "core/kelTimeUtils.h"
#include "core/kelUtf.h"
#include "core/kelUtilsState.h"
