// The transmitter's http transport: a SHOUTcast/Icecast source login on the
// URI (user name and password from it), after which every payload the
// transmitter sends goes to the server as well. A login the server refuses,
// or a stream that breaks, makes the transmitter read closed with the
// reason in descriptionError.
#include "streaming/kelIPTransmitter.h"

#include "streaming/kelIPRTSPSrv.h"

#include <string>

namespace {

kelString decimal(int64_t value)
{
    const std::string s = std::to_string(value);
    return kelString(s.begin(), s.end());
}

} // namespace

kelString kelSHOUTSourceErrorText(intptr_t error, intptr_t iceCode)
{
    if (error == 0) return {};
    if (error == kelSHOUTErrAuth) return u"401 Unauthorized";
    switch (iceCode) {
    case 401:
        return u"401 Unauthorized";
    case 402:
        return u"402 Payment Required";
    case 403:
        return u"403 Forbidden";
    case 404:
        return u"404 Not Found";
    default:
        break;
    }
    if (error == kelSHOUTErrHost) return u"Could not connect to server, please check URI";
    return u"SHOUT Error: " + decimal(iceCode != 0 ? -iceCode : error);
}

void shoutTransmitter::startOut()
{
    kelSHOUTtransmitter::startOut();
    if (error() != 0) master->onSHOUTSourceEnded(error(), iceCode());
}

bool TkelIPTransmitter::openSHOUT()
{
    f_shoutFailed.store(false);
    f_transSHOUT.reset(kelCreate<shoutTransmitter>(this));
    if (!f_transSHOUT) return false;
    f_transSHOUT->setClock(clock());
    if (f_transSHOUT->open(URI()) != kelSHOUTOK) {
        setDescriptionError(u"Invalid URI for a SHOUT source");
        return false;
    }
    return true;
}

void TkelIPTransmitter::onSHOUTSourceEnded(intptr_t error, intptr_t iceCode)
{
    f_shoutFailed.store(true);
    setDescriptionError(kelSHOUTSourceErrorText(error, iceCode));
}

intptr_t TkelIPTransmitter::sendToSHOUTSource(const uint8_t* data, size_t len)
{
    if (!f_transSHOUT || data == nullptr || len == 0) return 0;
    return f_transSHOUT->send(data, static_cast<intptr_t>(len));
}

bool TkelIPTransmitter::isActive()
{
    if (!kelIPStreamer::isActive()) return false;
    return !(protocol() == kelIPProtoHTTP && f_shoutFailed.load());
}
