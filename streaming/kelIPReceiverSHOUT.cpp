// The receiver on an http URI: a SHOUTcast/Icecast stream, handed on as
// MPEG audio, its titles as descriptionInfo and the end of the run as
// descriptionError.
#include "streaming/kelIPReceiverSHOUT.h"

#include "core/kelParseInt.h"
#include "core/kelUtf.h"
#include "streaming/kelIPReceiver.h"
#include "streaming/kelIPReceiverSession.h"
#include "streaming/kelRTPMap.h"

kelString kelSHOUTStreamTitle(const std::string& metadata)
{
    // Blocks are padded with NUL bytes to a multiple of 16.
    std::string text = metadata.substr(0, metadata.find('\0'));
    const size_t key = text.find("StreamTitle=");
    if (key != std::string::npos) {
        const size_t open = text.find('\'', key + 12);
        text = open == std::string::npos ? std::string() : text.substr(open + 1);
        // The value ends at the quote of "';", so a quote or a ";" inside a
        // title stays part of it.
        const size_t close = text.find("';");
        if (close != std::string::npos) text.resize(close);
    }
    return utf8ToUtf16(text);
}

kelString kelSHOUTErrorText(intptr_t code)
{
    switch (code) {
    case 0:
        return {};
    case -404:
        return u"404 Not Found";
    case -403:
        return u"403 Forbidden";
    case -402:
        return u"402 Payment Required";
    case -401:
        return u"401 Unauthorized";
    default:
        return u"SHOUT Error: " + formatInteger(code);
    }
}

shoutReceiver::shoutReceiver(TkelIPReceiver* master, const kelString& uri)
    : kelSHOUTreceiver(uri, kelIPReceiverSHOUTAgent, true), f_master(master)
{}

void shoutReceiver::startIn()
{
    f_formatNotified.store(false);
    f_ended.store(false);
    kelSHOUTreceiver::startIn();
}

void shoutReceiver::onData(const uint8_t* data, size_t len)
{
    if (len == 0 || len > UINT32_MAX) return;
    if (!f_formatNotified.exchange(true)) f_master->updateFormat(-1, -1, -1, kelRTPEnc_MPA, 0);
    (void)f_master->doWrite(data, static_cast<uint32_t>(len), nullptr);
}

void shoutReceiver::onMetadata(const uint8_t* data, size_t len)
{
    kelSHOUTreceiver::onMetadata(data, len);
    f_master->setDescriptionInfo(kelSHOUTStreamTitle(std::string(reinterpret_cast<const char*>(data), len)));
}

void shoutReceiver::startOut()
{
    kelSHOUTreceiver::startOut();
    const kelString text = kelSHOUTErrorText(errorCode());
    if (!text.empty()) f_master->setDescriptionError(text);
    f_ended.store(true);
}

// --- the receiver's part -----------------------------------------------------------

bool TkelIPReceiver::openSHOUT()
{
    f_session->shout = kelMakeOwned<shoutReceiver>(this, URI());
    if (!f_session->shout || !f_session->shout->libOK()) {
        f_session->shout.reset();
        setDescriptionError(u"No SHOUT receiver");
        return false;
    }
    f_session->shout->setClock(clock());
    return f_session->shout->start(10000);
}

void TkelIPReceiver::closeSHOUT()
{
    if (f_session->shout) (void)f_session->shout->stop();
}
