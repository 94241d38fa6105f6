#pragma once
// How a codec device reaches its conversion back end. Kept as a 32-bit value:
// the codec components store it in 32 bits of their format block.

#include <cstdint>

enum kelAcmCodecDriverMode : int32_t {
    kelcdm_acm = 0,            // a driver of the compression-manager registry
    kelcdm_installable = 1,    // an installable driver loaded from driverLibrary
    kelcdm_internal = 2,       // no back end: every operation answers "not supported"
    kelcdm_openH323plugin = 3, // a codec plug-in library named by driverLibrary
};

// True for the four modes above.
constexpr bool kelIsAcmCodecDriverMode(int64_t value) noexcept
{
    return value >= kelcdm_acm && value <= kelcdm_openH323plugin;
}
