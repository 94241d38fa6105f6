#pragma once
// The codec-driver types the wave pipe components carry. The driver
// selection, the ACM object and its registry come with the codec components;
// until then the components keep these fields empty (no ACM object, no
// driver) and only pass the driver mode and library name through their
// format blocks.

#include <cstdint>
#include <functional>

class kelMsAcm;
class kelMsAcmDriver;
class kelmtlInOutWavePipe;

// How a codec reaches its driver, kept as a 32-bit value (the codec format
// block stores it in 32 bits).
enum kelAcmCodecDriverMode : int32_t {
    kelcdm_acm = 0,            // a driver of the ACM registry, chosen by format tag
    kelcdm_installable = 1,    // an installable driver loaded from driverLibrary
    kelcdm_internal = 2,       // no back end
    kelcdm_openH323plugin = 3, // a codec plug-in library named by driverLibrary
};

// True for the four modes above.
constexpr bool kelIsAcmCodecDriverMode(int64_t value) noexcept
{
    return value >= kelcdm_acm && value <= kelcdm_openH323plugin;
}

// A component asks for the ACM object (`req` 1: the process-wide one). The
// handler stores it in `acm`, or leaves it null. Called on the thread that
// creates the component's device (the window thread).
using tkelOnAcmReq = std::function<void(kelmtlInOutWavePipe* sender, intptr_t req, kelMsAcm*& acm)>;
