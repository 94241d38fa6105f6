#include "net/protocols/kelSTUNWire.h"

#include "core/kelByteOrder.h"

#include <cstring>

bool stunReadHeader(const uint8_t* msg, size_t len, kelSTUN_hdr& hdr) noexcept
{
    if (msg == nullptr || len < kelSTUNHeaderSize || (msg[0] & 0xC0) != 0) return false;
    if (kelLoadBE32(msg + 4) != kelSTUNCookie) return false;
    hdr.r_msgType = kelLoadBE16(msg);
    hdr.r_msgLen = kelLoadBE16(msg + 2);
    hdr.r_cookie = kelSTUNCookie;
    std::memcpy(hdr.r_transactionID, msg + 8, kelSTUNTransactionSize);
    return true;
}

size_t stunBuildRequest(const uint8_t* txn, const uint8_t* attrs, size_t attrsLen, std::vector<uint8_t>& out)
{
    const size_t padded = (attrsLen + 3) & ~size_t(3);
    out.assign(kelSTUNHeaderSize + padded, 0);
    kelStoreBE16(out.data(), kelSTUNBindingRequest);
    kelStoreBE16(out.data() + 2, static_cast<uint16_t>(padded));
    kelStoreBE32(out.data() + 4, kelSTUNCookie);
    std::memcpy(out.data() + 8, txn, kelSTUNTransactionSize);
    if (attrsLen > 0 && attrs != nullptr) std::memcpy(out.data() + kelSTUNHeaderSize, attrs, attrsLen);
    return out.size();
}

intptr_t stunFrameSize(const uint8_t* msg, size_t len) noexcept
{
    if (len < kelSTUNHeaderSize) return 0;
    kelSTUN_hdr hdr;
    if (!stunReadHeader(msg, len, hdr) || (hdr.r_msgLen & 3) != 0) return -1;
    return static_cast<intptr_t>(kelSTUNHeaderSize + hdr.r_msgLen);
}

bool stunSameTransaction(const uint8_t* req, const uint8_t* resp, size_t respLen) noexcept
{
    return resp != nullptr && respLen >= kelSTUNHeaderSize && std::memcmp(req + 4, resp + 4, 16) == 0;
}

kelSTUNResult stunReadAnswer(const uint8_t* msg, size_t len) noexcept
{
    kelSTUNResult r;
    kelSTUN_hdr hdr;
    if (!stunReadHeader(msg, len, hdr)) return r;
    size_t end = kelSTUNHeaderSize + hdr.r_msgLen;
    if (end > len) end = len;
    bool haveAddress = false;
    int errorCode = 0;
    size_t ofs = kelSTUNHeaderSize;
    while (end - ofs >= 4) {
        const uint16_t type = kelLoadBE16(msg + ofs);
        const size_t alen = kelLoadBE16(msg + ofs + 2);
        const uint8_t* v = msg + ofs + 4;
        if (end - ofs - 4 < alen) break;
        // Family 0x01 is IPv4; an IPv6 address is no answer for an IPv4 socket.
        if (type == kelSTUNAttrMappedAddress && alen == 8 && v[1] == 0x01) {
            r.port = kelLoadBE16(v + 2);
            r.ip = kelLoadBE32(v + 4);
            haveAddress = true;
        } else if (type == kelSTUNAttrXorMappedAddress && alen == 8 && v[1] == 0x01) {
            r.port = static_cast<uint16_t>(kelLoadBE16(v + 2) ^ (kelSTUNCookie >> 16));
            r.ip = kelLoadBE32(v + 4) ^ kelSTUNCookie;
            haveAddress = true;
        } else if (type == kelSTUNAttrErrorCode && alen >= 4) {
            errorCode = (v[2] & 0x07) * 100 + v[3];
        }
        const size_t step = 4 + ((alen + 3) & ~size_t(3));
        if (end - ofs < step) break;
        ofs += step;
    }
    if (hdr.r_msgType == kelSTUNBindingSuccess && haveAddress) {
        r.code = 200;
        return r;
    }
    r.ip = 0;
    r.port = 0;
    r.code = hdr.r_msgType == kelSTUNBindingError && errorCode >= 300 && errorCode <= 699 ? errorCode : 400;
    return r;
}
