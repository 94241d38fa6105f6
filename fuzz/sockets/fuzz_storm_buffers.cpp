// Random sequences of delivery-buffer operations (take, fill, queue,
// release, drop a connection) against a model: the bounds hold, a record is
// never handed out twice, and the queue counts what the model counts.
#include "net/sockets/kelSocksPacketStormThread.h"

#include "core/kelCreate.h"

#include <cstdlib>
#include <set>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelOwned<kelSocksPacketStormThread> storm(kelCreate<kelSocksPacketStormThread>(nullptr));
    if (!storm) return 0;
    std::vector<kelSocksStormBuffer*> filling;
    std::vector<std::pair<kelSocksStormBuffer*, uint32_t>> queued;
    for (size_t i = 0; i + 2 < size; i += 3) {
        const uint8_t op = data[i] % 5;
        const uint32_t arg = uint32_t(data[i + 1]) << 8 | data[i + 2];
        switch (op) {
        case 0: { // take; sizes up to 64 KiB, now and then a huge one
            const uint32_t want = (data[i] & 0x80) ? arg << 8 : arg;
            kelSocksStormBuffer* b = storm->bufferGet(want);
            if (want == 0) check(b == nullptr);
            if (b) {
                check(b->allocated >= want && b->length == 0);
                for (auto* f : filling)
                    check(f != b);
                for (auto& q : queued)
                    check(q.first != b);
                filling.push_back(b);
            }
            break;
        }
        case 1: // fill and queue
            if (!filling.empty()) {
                kelSocksStormBuffer* b = filling.back();
                filling.pop_back();
                b->length = arg % (b->allocated + 2);
                const bool fits = b->length <= b->allocated;
                const bool ok = storm->newPacket(arg % 7, b);
                check(ok == fits);
                if (!ok) {
                    filling.push_back(b);
                } else if (b->length > 0) {
                    queued.push_back({b, arg % 7});
                }
            }
            break;
        case 2:
            if (!filling.empty()) {
                storm->bufferRelease(filling.back());
                filling.pop_back();
            }
            break;
        case 3: { // the owner removes a connection
            const uint32_t conn = arg % 7;
            storm->removeConnection(conn);
            std::vector<std::pair<kelSocksStormBuffer*, uint32_t>> kept;
            for (auto& q : queued)
                if (q.second != conn) kept.push_back(q);
            queued.swap(kept);
            break;
        }
        default: // a queued record may not be released by the socket thread
            if (!queued.empty()) storm->bufferRelease(queued.front().first);
            break;
        }
        check(storm->queuedCount() == queued.size());
        check(storm->bufCount() <= kelSocksPacketStormThread::kMaxBuffers);
        check(storm->bytesAllocated() <= kelSocksPacketStormThread::kMaxBytes);
    }
    return 0;
}
