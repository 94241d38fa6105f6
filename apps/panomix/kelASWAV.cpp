#include "apps/panomix/kelASWAV.h"

#include "audio/kelRiffStream.h"

#include <algorithm>

kelASWAV::kelASWAV(const kelString& param, kelMsAcm* acm)
    : kelAudioSource(kelASTypeWAV, param), f_riff(kelRiffStream::create(param, false, true, acm))
{
    f_name = u"WAVE file [" + param + u"]";
    if (f_riff) f_riff->setLoop(true);
}

kelASWAV::~kelASWAV() = default;

bool kelASWAV::getActive()
{
    return f_riff && f_riff->isOpen();
}

void kelASWAV::doStart()
{
    f_passive = f_riff && f_riff->passiveOpen() == 0;
    if (f_passive) doPrepareNextChunk();
}

void kelASWAV::doStop()
{
    f_passive = false;
    if (f_riff) f_riff->close(10012);
}

void kelASWAV::doPrepareNextChunk()
{
    if (!f_passive || f_chunk.empty() || f_next.size() != f_chunk.size()) return;
    // Read aside: a failed read keeps the previous chunk whole.
    const uintptr_t bytes = f_riff->readData(f_next.data(), f_next.size() * 2);
    if (bytes == 0) return;
    std::copy(f_next.begin(), f_next.begin() + std::ptrdiff_t(bytes / 2), f_chunk.begin());
}
