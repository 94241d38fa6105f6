#include "net/protocols/kelSTUNClientReq.h"

#include "net/protocols/kelProtoRandom.h"

kelSTUNClient_req::kelSTUNClient_req(const uint8_t* attrs, size_t attrsLen, kelSocket* socket,
                                     kelEvent* event)
    : f_socket(socket), f_event(event)
{
    uint8_t txn[kelSTUNTransactionSize];
    kelProtoRandomBytes(txn, sizeof txn);
    f_dataRawLen = stunBuildRequest(txn, attrs, attrsLen, f_data);
}

bool kelSTUNClient_req::sameTrans(const uint8_t* hdr, size_t len)
{
    if (!stunSameTransaction(f_data.data(), hdr, len)) return false;
    f_response.assign(hdr, hdr + len);
    f_hasResponse = true;
    return true;
}

void kelSTUNClient_req::noteSent(uint64_t nowMs, const sockaddr_in& to) noexcept
{
    f_sentTM = nowMs;
    ++f_sentCount;
    f_sentTo = to;
}
