#include "codecs/kelCeltProc.h"

bool kelCeltProc::resolve(const kelDynLib& lib) noexcept
{
    bool ok = true;
    ok = bind(lib, modeCreate, "celt_mode_create") && ok;
    ok = bind(lib, modeDestroy, "celt_mode_destroy") && ok;
    ok = bind(lib, encoderGetSize, "celt_encoder_get_size") && ok;
    ok = bind(lib, encoderCreate, "celt_encoder_create") && ok;
    ok = bind(lib, encoderInit, "celt_encoder_init") && ok;
    ok = bind(lib, encoderDestroy, "celt_encoder_destroy") && ok;
    ok = bind(lib, encode, "celt_encode") && ok;
    ok = bind(lib, encodeFloat, "celt_encode_float") && ok;
    ok = bind(lib, encoderCtl, "celt_encoder_ctl") && ok;
    ok = bind(lib, encoderGetSizeCustom, "celt_encoder_get_size_custom") && ok;
    ok = bind(lib, encoderCreateCustom, "celt_encoder_create_custom") && ok;
    ok = bind(lib, encoderInitCustom, "celt_encoder_init_custom") && ok;
    ok = bind(lib, decoderGetSize, "celt_decoder_get_size") && ok;
    ok = bind(lib, decoderCreate, "celt_decoder_create") && ok;
    ok = bind(lib, decoderInit, "celt_decoder_init") && ok;
    ok = bind(lib, decoderDestroy, "celt_decoder_destroy") && ok;
    ok = bind(lib, decode, "celt_decode") && ok;
    ok = bind(lib, decodeFloat, "celt_decode_float") && ok;
    ok = bind(lib, decoderCtl, "celt_decoder_ctl") && ok;
    ok = bind(lib, decoderGetSizeCustom, "celt_decoder_get_size_custom") && ok;
    ok = bind(lib, decoderCreateCustom, "celt_decoder_create_custom") && ok;
    ok = bind(lib, decoderInitCustom, "celt_decoder_init_custom") && ok;
    ok = bind(lib, strError, "celt_strerror") && ok;
    return ok;
}

void kelCeltProc::clear() noexcept
{
    modeCreate = nullptr;
    modeDestroy = nullptr;
    encoderGetSize = nullptr;
    encoderCreate = nullptr;
    encoderInit = nullptr;
    encoderDestroy = nullptr;
    encode = nullptr;
    encodeFloat = nullptr;
    encoderCtl = nullptr;
    encoderGetSizeCustom = nullptr;
    encoderCreateCustom = nullptr;
    encoderInitCustom = nullptr;
    decoderGetSize = nullptr;
    decoderCreate = nullptr;
    decoderInit = nullptr;
    decoderDestroy = nullptr;
    decode = nullptr;
    decodeFloat = nullptr;
    decoderCtl = nullptr;
    decoderGetSizeCustom = nullptr;
    decoderCreateCustom = nullptr;
    decoderInitCustom = nullptr;
    strError = nullptr;
}
