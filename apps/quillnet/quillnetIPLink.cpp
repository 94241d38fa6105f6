#include "apps/quillnet/quillnetIPLink.h"

#include "net/sockets/kelURICrack.h"

quillnetIPLink::quillnetIPLink(role which)
{
    if (which == role::transmitter) {
        f_tx.reset(kelCreate<TkelIPTransmitter>());
        f_component = f_tx.get();
    } else {
        f_rx.reset(kelCreate<TkelIPReceiver>());
        f_component = f_rx.get();
        if (f_rx) {
            f_rx->setOnText([this](kelmtlInOutPipe*, const char16_t* text) {
                textHandler handler;
                {
                    std::lock_guard lock(f_guard);
                    handler = f_handler;
                }
                if (handler) handler(kelString(text));
            });
        }
    }
    if (f_component == nullptr) f_error = kCannotOpen;
}

quillnetIPLink::~quillnetIPLink()
{
    close();
}

void quillnetIPLink::setTextHandler(textHandler handler)
{
    std::lock_guard lock(f_guard);
    f_handler = std::move(handler);
}

bool quillnetIPLink::open(const kelString& uri)
{
    if (f_component == nullptr) return false;
    f_component->close();
    // A URI that does not parse leaves the component on the one before;
    // opening then would report success on an address nobody asked for.
    kelURICrack crack;
    if (!crackURI(uri, crack)) {
        f_component->setURI(uri);
        std::lock_guard lock(f_guard);
        f_error = f_component->descriptionError();
        if (f_error.empty()) f_error = kCannotOpen;
        return false;
    }
    f_component->setURI(uri);
    const bool ok = f_component->open();
    std::lock_guard lock(f_guard);
    if (ok) {
        f_error.clear();
    } else {
        f_error = f_component->descriptionError();
        if (f_error.empty()) f_error = kCannotOpen;
    }
    return ok;
}

void quillnetIPLink::close()
{
    if (f_component != nullptr) f_component->close();
}

bool quillnetIPLink::active() const
{
    return f_component != nullptr && f_component->active();
}

void quillnetIPLink::sendText(const kelString& text)
{
    if (f_tx) (void)f_tx->sendText(text);
}

kelString quillnetIPLink::errorText() const
{
    std::lock_guard lock(f_guard);
    return f_error;
}
