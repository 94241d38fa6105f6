#pragma once
// kelWSA: start-up of the socket library, and the unit's process-wide
// socket state: one shared kelWSA made by the first socketsStartup() and
// freed by the last socketsShutdown(), with a count of start-up calls.
//
// The unit starts itself (version 2.2) on first use of any socket routine and
// shuts down at process exit; programs need not call socketsStartup().

#include "core/kelObject.h"
#include "platform/kelSocketApi.h"

#include <atomic>
#include <cstdint>

class kelWSA : public kelObject
{
public:
    // Starts the library at once when `active`.
    explicit kelWSA(bool active = true, uint16_t version = 0x0202) noexcept;
    ~kelWSA() override;

    // Starts the library; stores and returns the result (0 on success).
    int startup(uint16_t version) noexcept;
    // Cleans up after a successful start-up; 0 or the error code.
    int shutdown() noexcept;
    bool isActive() const noexcept { return f_status == 0; }
    // 10091 until start-up succeeded, then the start-up result.
    int getStatus() const noexcept { return f_status; }
    const kelWSAData& data() const noexcept { return f_data; }
    kelString _classID() const override { return u"kelWSA"; }

protected:
    kelWSAData f_data;
    int f_status = WSASYSNOTREADY;
};

// Counted start-up and shutdown of the shared kelWSA; both take the unit lock
// for up to 1000 ms and return 0, or -1 when the lock could not be had or the
// unit is finished. Any thread.
int socketsStartup(uint16_t version = 0x0202) noexcept;
int socketsShutdown() noexcept;

// The shared kelWSA, null when the start-up count is 0. Its lock serialises
// host name lookups.
kelWSA* socketsSharedWSA() noexcept;

// The ceiling for socket thread pools (256 unless changed).
std::atomic<int64_t>& socketsThreadPoolCeiling() noexcept;
