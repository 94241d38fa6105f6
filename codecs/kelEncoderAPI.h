#pragma once
// The encoder layer in one include: the coder frame, its lazy-write thread
// and the plug-in coder.

#include "codecs/kelAbstractEncoder.h"
#include "codecs/kelLazyWriteThread.h"
#include "codecs/kelOpenH323Plugin.h"
