#pragma once
// shoutReceiver: the SHOUTcast/Icecast receiver of an IP receiver on an http
// URI. The stream goes to the receiver as MPEG audio, the title of each
// metadata block becomes its descriptionInfo, and the end of the run its
// descriptionError. Its hooks run on its own thread.

#include "net/protocols/kelSHOUTreceiver.h"

#include <atomic>
#include <string>

class TkelIPReceiver;

class shoutReceiver final : public kelSHOUTreceiver
{
public:
    // `master` outlives the thread (the receiver frees it).
    shoutReceiver(TkelIPReceiver* master, const kelString& uri);

    // The run has ended (an error, the server's end, a stop).
    bool ended() const noexcept { return f_ended.load(); }

    kelString _classID() const override { return u"shoutReceiver"; }

protected:
    void onData(const uint8_t* data, size_t len) override;
    void onMetadata(const uint8_t* data, size_t len) override;
    void startIn() override;
    void startOut() override;

private:
    TkelIPReceiver* const f_master;
    std::atomic<bool> f_formatNotified{false};
    std::atomic<bool> f_ended{false};
};

// The user agent of the receiver's stream requests.
inline constexpr char16_t kelIPReceiverSHOUTAgent[] = u"kel SHOUTcast receiver/1.0";

// The title of an ICY metadata block: the text between the quotes of its
// StreamTitle='...'; (a quote inside the title stays); the whole text when
// it has no StreamTitle.
kelString kelSHOUTStreamTitle(const std::string& metadata);
// The descriptionError text of a run that ended with `code` (0: none).
kelString kelSHOUTErrorText(intptr_t code);
