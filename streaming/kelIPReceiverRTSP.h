#pragma once
// RTSPRec: the RTSP client of an IP receiver on an rtsp or rtspu URI. Its
// answers go to the receiver's onRTSPReply, its failures to onRTSPError,
// both on the client's own thread.

#include "net/protocols/kelRTSPClient.h"

class TkelIPReceiver;

class RTSPRec final : public kelRTSPClient
{
public:
    // `master` outlives the client (the receiver frees it).
    RTSPRec(TkelIPReceiver* master, const kelString& userAgent) : kelRTSPClient(userAgent), f_master(master)
    {}

    kelString _classID() const override { return u"RTSPRec"; }

protected:
    void onResponse(const kelString& uri, const kelString& control, intptr_t req,
                    const kelHTTPparser& response) override;
    void onRequestError(const kelString& uri, const kelString& control, intptr_t req, intptr_t code) override;

private:
    TkelIPReceiver* const f_master;
};

// The user agent of the receiver's RTSP requests.
inline constexpr char16_t kelIPReceiverRTSPAgent[] = u"kelRTPSClient/1.1";
// How long closing waits for the answer to its TEARDOWN.
inline constexpr int64_t kelIPReceiverTeardownWaitMs = 2000;
