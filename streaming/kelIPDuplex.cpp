#include "streaming/kelIPDuplex.h"

#include "core/kelLog.h"

TkelIPDuplex::TkelIPDuplex(kelComponent* owner) : TkelIPTransmitter(owner)
{
    f_receiver = kelMakeOwned<TkelIPReceiver>();
    if (!f_receiver) return;
    f_receiver->f_master = this;
    f_receiver->setOnText([this](kelmtlInOutPipe*, const char16_t* text) {
        kelmtIPReceiverTextEvent handler;
        {
            std::lock_guard lock(f_textGuard);
            handler = f_onText;
        }
        if (handler) handler(this, text);
    });
}

TkelIPDuplex::~TkelIPDuplex() = default;

void TkelIPDuplex::beforeDestruction()
{
    TkelIPTransmitter::beforeDestruction();
    f_receiver.reset();
}

void TkelIPDuplex::setOnText(kelmtIPReceiverTextEvent handler)
{
    std::lock_guard lock(f_textGuard);
    f_onText = std::move(handler);
}

bool TkelIPDuplex::doOpen()
{
    if (!f_receiver) return false;
    if (!TkelIPTransmitter::doOpen()) return false;
    (void)destAdd(true, URI(), true, {}, 0, -1);
    f_receiver->setIsFormatProvider(isFormatProvider());
    // What the duplex hands on comes from its receiver: the duplex's own
    // consumer is linked there too.
    if (kelmtlInOutPipe* c = consumer(); c != nullptr && f_receiver->getConsumerIndex(c) < 0)
        (void)f_receiver->addConsumer(c);
    f_receiver->setClock(clock());
    f_receiver->setURI(URI());
    f_receiver->setSDP(SDP());
    const bool ok = f_receiver->open();
    if (!ok) setDescriptionError(f_receiver->descriptionError());
    std::lock_guard lock(f_feedGuard);
    f_feeding = ok;
    return ok;
}

void TkelIPDuplex::doClose()
{
    {
        std::lock_guard lock(f_feedGuard);
        f_feeding = false;
    }
    if (f_receiver) f_receiver->close();
    TkelIPTransmitter::doClose();
}

void TkelIPDuplex::applyRTPOptions()
{
    TkelIPTransmitter::applyRTPOptions();
    if (!f_receiver) return;
    f_receiver->set_SSRC(_SSRC());
    f_receiver->setURIuserName(URIuserName());
    f_receiver->applyRTPOptions();
}

void TkelIPDuplex::onReceivedPayload(const sockaddr_in& from, const uint8_t* header, const uint8_t* data,
                                     size_t len)
{
    std::lock_guard lock(f_feedGuard);
    if (f_feeding && f_receiver) f_receiver->receiveFromMaster(from, header, data, len);
}
