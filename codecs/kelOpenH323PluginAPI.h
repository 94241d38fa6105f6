#pragma once
// The binary interface of codec plug-ins, version 1: the records a plug-in
// publishes and the two C functions it exports. The layout is fixed by the
// plug-ins already built against it, so nothing here may be reordered or
// resized; every field is plain C with native sizes.

#include <ctime>

extern "C" {

// Version of the plug-in interface this host speaks.
inline constexpr unsigned int kelPluginCodecVersion = 1;

inline constexpr char kelPluginGetAPIVersionName[] = "PWLibPlugin_GetAPIVersion";
inline constexpr char kelPluginGetCodecsName[] = "OpalCodecPlugin_GetCodecs";

// Licence record of a plug-in, for display only.
struct PluginCodec_information
{
    time_t timestamp;
    const char* sourceAuthor;
    const char* sourceVersion;
    const char* sourceEmail;
    const char* sourceURL;
    const char* sourceCopyright;
    const char* sourceLicense;
    unsigned char sourceLicenseCode;
    const char* codecDescription;
    const char* codecAuthor;
    const char* codecVersion;
    const char* codecEmail;
    const char* codecURL;
    const char* codecCopyright;
    const char* codecLicense;
    unsigned short codecLicenseCode;
};

// Licence codes.
enum : unsigned {
    PluginCodec_Licence_None = 0,
    PluginCodec_License_GPL = 1,
    PluginCodec_License_MPL = 2,
    PluginCodec_License_Freeware = 3,
    PluginCodec_License_ResearchAndDevelopmentUseOnly = 4,
    PluginCodec_License_BSD = 5,
    PluginCodec_License_LGPL = 6,
    PluginCodec_License_NoRoyalties = 0x7f,
    PluginCodec_License_RoyaltiesRequired = 0x80,
};

struct PluginCodec_Definition;

struct PluginCodec_ControlDefn
{
    const char* name;
    int (*control)(const PluginCodec_Definition* codec, void* context, const char* name, void* parm,
                   unsigned* parmLen);
};

struct PluginCodec_AudioParameters
{
    unsigned int samplesPerFrame;
    unsigned int bytesPerFrame; // the most coded bytes one frame can take
    unsigned int recommendedFramesPerPacket;
    unsigned int maxFramesPerPacket;
};

struct PluginCodec_VideoParameters
{
    unsigned int maxFrameWidth;
    unsigned int maxFrameHeight;
    unsigned int recommendedFrameRate;
    unsigned int maxFrameRate;
};

// Flags of a definition.
enum : unsigned {
    PluginCodec_MediaTypeMask = 0x000f,
    PluginCodec_MediaTypeAudio = 0x0000,
    PluginCodec_MediaTypeVideo = 0x0001,
    PluginCodec_MediaTypeAudioStreamed = 0x0002,
    PluginCodec_MediaTypeFax = 0x0003,
    PluginCodec_InputTypeRTP = 0x0010,
    PluginCodec_OutputTypeRTP = 0x0020,
    PluginCodec_RTPTypeExplicit = 0x0040,
    PluginCodec_RTPTypeShared = 0x0080,
    PluginCodec_DecodeSilence = 0x0100,
    PluginCodec_EncodeSilence = 0x0200,
    PluginCodec_BitsPerSampleMask = 0xf000,
    PluginCodec_BitsPerSamplePos = 12,
};

// Coder flags passed in and out of codecFunction.
enum : unsigned {
    PluginCodec_CoderSilenceFrame = 1,
    PluginCodec_CoderForceIFrame = 2,
};

using PluginCodec_CreateFunction = void* (*)(const PluginCodec_Definition* codec);
using PluginCodec_DestroyFunction = void (*)(const PluginCodec_Definition* codec, void* context);
// On entry *fromLen is the input size and *toLen the output room; on return
// they hold the bytes consumed and produced. Non-zero is success.
using PluginCodec_CodecFunction = int (*)(const PluginCodec_Definition* codec, void* context,
                                          const void* from, unsigned* fromLen, void* to, unsigned* toLen,
                                          unsigned int* flag);

struct PluginCodec_Definition
{
    unsigned int version;
    PluginCodec_information* info;
    unsigned int flags;
    const char* descr;
    const char* sourceFormat;
    const char* destFormat;
    const void* userData;
    unsigned int sampleRate;
    unsigned int bitsPerSec;
    unsigned int usPerFrame;
    union {
        PluginCodec_AudioParameters audio;
        PluginCodec_VideoParameters video;
    } parm;
    unsigned char rtpPayload;
    const char* sdpFormat;
    PluginCodec_CreateFunction createCodec;
    PluginCodec_DestroyFunction destroyCodec;
    PluginCodec_CodecFunction codecFunction;
    PluginCodec_ControlDefn* codecControls;
    unsigned char h323CapabilityType;
    const void* h323CapabilityData;
};

using PluginCodec_GetAPIVersionFunction = unsigned int (*)();
using PluginCodec_GetCodecFunction = PluginCodec_Definition* (*)(unsigned int* count, unsigned int version);

} // extern "C"
