#pragma once
// The codec-driver types the wave pipe components carry: the driver mode
// (declared beside the codec device) and the request for the process-wide
// driver registry. The components keep the registry and driver fields empty
// until the codec components use them, and pass the driver mode and library
// name through their format blocks.

#include "audio/kelAcmCodecDriverMode.h"

#include <cstdint>
#include <functional>

class kelMsAcm;
class kelMsAcmDriver;
class kelmtlInOutWavePipe;

// A component asks for the ACM object (`req` 1: the process-wide one). The
// handler stores it in `acm`, or leaves it null. Called on the thread that
// creates the component's device (the window thread).
using tkelOnAcmReq = std::function<void(kelmtlInOutWavePipe* sender, intptr_t req, kelMsAcm*& acm)>;
