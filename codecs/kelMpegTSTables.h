#pragma once
// The tables a transport stream demultiplexer keeps: descriptors, elementary
// streams, programs, services, networks with their transport streams, and
// the EIT events it hands out one by one. Every stored object is keyed by an
// id (descriptor tag, PID, program number, ...) in an owning id list.
//
// A parse reads an object's fields from a bounded cursor and returns the
// bytes it consumed; lengths read from the input only ever narrow the span.
// What the objects hold is charged to a byte budget, so a hostile stream
// cannot make the tables grow without bound: past the budget new objects
// and descriptors are refused and counted.
//
// Objects are made and changed by the demultiplexer's thread; the lists lock
// themselves, so other threads may read them.

#include "codecs/kelMpegTSBytes.h"
#include "core/kelCreate.h"
#include "core/kelIdList.h"
#include "core/kelObject.h"

#include <cstdint>

// The byte budget of stored tables.
struct kelMpegTSBudget
{
    static constexpr int64_t kDefaultLimit = 8 * 1024 * 1024;

    int64_t used = 0;
    int64_t limit = kDefaultLimit;
    // Objects and descriptors refused for want of budget.
    int64_t refused = 0;

    // Charges `bytes`; false (counted as refused) when they do not fit.
    bool take(int64_t bytes) noexcept
    {
        if (used + bytes > limit) {
            ++refused;
            return false;
        }
        used += bytes;
        return true;
    }
    void give(int64_t bytes) noexcept { used = used > bytes ? used - bytes : 0; }
};

class kelMpegTSDescriptorList;

// A sorted id list that owns its kelMpegTS_pwnID objects; duplicate ids are
// refused.
class kelMpegTS_pwnIDList : public kelIdList
{
public:
    kelMpegTS_pwnIDList();
    ~kelMpegTS_pwnIDList() override;

    template <class T> T* find(uint32_t id) noexcept { return static_cast<T*>(itemById(id)); }

    kelString _classID() const override { return u"kelMpegTS_pwnIDList"; }

protected:
    int64_t getId(void* item) noexcept override;
};

class kelMpegTSDescriptor;

class kelMpegTSDescriptorList : public kelMpegTS_pwnIDList
{
public:
    // Reads descriptors (tag, length, data) until `in` is used up; one with
    // a tag already held replaces the older one. Data that claims more than
    // is left is cut at the end, and a lone last byte (too short for a tag
    // and a length) is skipped. Returns the bytes consumed. A new tag past
    // `budget` is refused.
    intptr_t addDesc(kelMpegTSBytes& in, kelMpegTSBudget& budget);
    kelMpegTSDescriptor* descriptor(uint32_t tag) noexcept;

    kelString _classID() const override { return u"kelMpegTSDescriptorList"; }
};

// Base of every stored table object: its key and its descriptors.
class kelMpegTS_pwnID : public kelObject
{
public:
    explicit kelMpegTS_pwnID(uint32_t id) noexcept : f_ID(id) {}

    uint32_t ID() const noexcept { return f_ID; }
    kelMpegTSDescriptorList& desc() noexcept { return f_desc2; }

    // Reads the object's fields from `in`; the bytes consumed. The base reads
    // nothing.
    virtual intptr_t parse(kelMpegTSBytes& in, kelMpegTSBudget& budget)
    {
        (void)in;
        (void)budget;
        return 0;
    }

    kelString _classID() const override { return u"kelMpegTS_pwnID"; }

private:
    uint32_t f_ID;
    kelMpegTSDescriptorList f_desc2;
};

// One descriptor: its tag and up to 255 data bytes.
class kelMpegTSDescriptor : public kelMpegTS_pwnID
{
public:
    explicit kelMpegTSDescriptor(uint32_t tag) noexcept : kelMpegTS_pwnID(tag) {}

    const uint8_t* data() const noexcept { return f_data; }
    intptr_t dataLen() const noexcept { return f_dataLen; }
    void setData(const uint8_t* data, intptr_t len) noexcept;
    // The data as text: bytes outside 32..127 become blanks, the ends
    // trimmed; empty without data.
    kelString asString() const;

    kelString _classID() const override { return u"kelMpegTSDescriptor"; }

private:
    uint8_t f_data[256] = {};
    intptr_t f_dataLen = 0;
};

// One EIT event (not stored: handed to the demultiplexer's onEvent).
class kelMpegTSEvent : public kelMpegTS_pwnID
{
public:
    kelMpegTSEvent(uint32_t evID, uint32_t TSID, uint32_t NID, uint32_t srvID) noexcept
        : kelMpegTS_pwnID(evID), f_ts_id(TSID), f_network_id(NID), f_service_id(srvID)
    {}

    // start_time (5), duration (3), running_status/free_CA_mode/loop length
    // (2), then the descriptors; nothing when 10 bytes or fewer are left.
    intptr_t parse(kelMpegTSBytes& in, kelMpegTSBudget& budget) override;

    uint32_t TSID() const noexcept { return f_ts_id; }
    uint32_t NID() const noexcept { return f_network_id; }
    uint32_t srvID() const noexcept { return f_service_id; }
    // The five start_time bytes in stream order, the first one lowest.
    uint64_t startTime() const noexcept;
    uint32_t duration() const noexcept { return f_duration; }
    intptr_t running_status() const noexcept { return f_running_status; }
    bool free_CA_mode() const noexcept { return f_free_CA_mode; }

    kelString _classID() const override { return u"kelMpegTSEvent"; }

private:
    uint32_t f_ts_id;
    uint32_t f_network_id;
    uint32_t f_service_id;
    uint8_t f_start_time[5] = {};
    uint32_t f_duration = 0;
    intptr_t f_running_status = 0;
    bool f_free_CA_mode = false;
};

// One SDT service.
class kelMpegTSService : public kelMpegTS_pwnID
{
public:
    kelMpegTSService(uint32_t srvID, uint32_t NID, uint32_t TSID, bool thisStream) noexcept
        : kelMpegTS_pwnID(srvID), f_network_id(NID), f_ts_id(TSID), f_this_stream(thisStream)
    {}

    // Flags (1), running_status/free_CA_mode/loop length (2), descriptors;
    // nothing when fewer than 3 bytes are left.
    intptr_t parse(kelMpegTSBytes& in, kelMpegTSBudget& budget) override;

    uint32_t NID() const noexcept { return f_network_id; }
    uint32_t TSID() const noexcept { return f_ts_id; }
    bool this_stream() const noexcept { return f_this_stream; }
    uintptr_t EIT_schedule_flag() const noexcept { return f_EIT_schedule_flag; }
    uintptr_t EIT_present_following_flag() const noexcept { return f_EIT_present_folloing_flag; }
    uintptr_t running_status() const noexcept { return f_running_status; }
    uintptr_t free_CA_mode() const noexcept { return f_free_CA_mode; }

    kelString _classID() const override { return u"kelMpegTSService"; }

private:
    uint32_t f_network_id;
    uint32_t f_ts_id;
    bool f_this_stream;
    uintptr_t f_EIT_schedule_flag = 0;
    uintptr_t f_EIT_present_folloing_flag = 0;
    uintptr_t f_running_status = 0;
    uintptr_t f_free_CA_mode = 0;
};

// One PID of the stream: its continuity and what the PMT says of it.
class kelMpegES : public kelMpegTS_pwnID
{
public:
    // `continuity` -1: no packet seen yet.
    kelMpegES(uint32_t PID, uint32_t NID, intptr_t continuity) noexcept
        : kelMpegTS_pwnID(PID), f_NID(NID), f_continuity(continuity), f_totalCnt(continuity >= 0 ? 1 : 0)
    {}

    // Takes the next packet's counter: true when it follows the last one
    // (the first counter seen always does). A repeated counter is not a
    // follower.
    bool updateContinuity(intptr_t cc) noexcept;
    // The next counter is taken as a new start (a signalled discontinuity).
    void restartContinuity() noexcept { f_continuity = -1; }
    intptr_t continuity() const noexcept { return f_continuity; }

    intptr_t streamID() const noexcept { return f_streamID; }
    void setStreamID(intptr_t value) noexcept { f_streamID = value; }
    uint8_t streamType() const noexcept { return f_streamType; }
    void setStreamType(uint8_t value) noexcept { f_streamType = value; }
    uint32_t NID() const noexcept { return f_NID; }
    void setNID(uint32_t value) noexcept { f_NID = value; }
    bool scrambled() const noexcept { return f_scrambled; }
    bool priority() const noexcept { return f_priority; }
    void setFlags(bool scrambled, bool priority) noexcept
    {
        f_scrambled = scrambled;
        f_priority = priority;
    }
    // Packets taken in order since the first.
    int64_t totalCnt() const noexcept { return f_totalCnt; }

    kelString _classID() const override { return u"kelMpegES"; }

private:
    intptr_t f_streamID = 0;
    uint32_t f_NID;
    intptr_t f_continuity;
    bool f_scrambled = false;
    bool f_priority = false;
    int64_t f_totalCnt;
    uint8_t f_streamType = 0;
};

// One program of the PAT, with what its PMT says.
class kelMpegTSProgram : public kelMpegTS_pwnID
{
public:
    static constexpr uint32_t kUnknownPID = 0xFFFFFFFFu;

    kelMpegTSProgram(uint32_t num, uint32_t PMT, uint32_t PCR);

    uint32_t PID_PMT() const noexcept { return f_PID_PMT; }
    void setPID_PMT(uint32_t pid) noexcept { f_PID_PMT = pid; }
    uint32_t PID_PCR() const noexcept { return f_PID_PCR; }
    void setPID_PCR(uint32_t pid) noexcept { f_PID_PCR = pid; }
    // The program's elementary PIDs, sorted (rebuilt from every PMT).
    kelList& streams() noexcept { return f_streams; }

    kelString _classID() const override { return u"kelMpegTSProgram"; }

private:
    uint32_t f_PID_PMT;
    uint32_t f_PID_PCR;
    kelList f_streams;
};

// One entry of a NIT's transport stream loop.
class kelMpegTSTransport : public kelMpegTS_pwnID
{
public:
    kelMpegTSTransport(uint32_t TSID, uint32_t NID) noexcept : kelMpegTS_pwnID(TSID), f_NID(NID) {}

    uint32_t TSID() const noexcept { return ID(); }
    // original_network_id.
    uint32_t NID() const noexcept { return f_NID; }
    void setNID(uint32_t value) noexcept { f_NID = value; }

    kelString _classID() const override { return u"kelMpegTSTransport"; }

private:
    uint32_t f_NID;
};

// One network of the NIT: its descriptors and its transport streams, kept
// in a list of their own so they never mix with the stream's PIDs.
class kelMpegTSNetwork : public kelMpegTS_pwnID
{
public:
    explicit kelMpegTSNetwork(uint32_t ID) noexcept : kelMpegTS_pwnID(ID) {}

    // Network descriptors, then the transport stream loop; parsing again
    // updates the known entries and adds new ones.
    intptr_t parse(kelMpegTSBytes& in, kelMpegTSBudget& budget) override;

    kelMpegTS_pwnIDList& transports() noexcept { return f_transports; }
    kelMpegTSTransport* transport(uint32_t TSID) noexcept
    {
        return f_transports.find<kelMpegTSTransport>(TSID);
    }

    kelString _classID() const override { return u"kelMpegTSNetwork"; }

private:
    kelMpegTS_pwnIDList f_transports;
};

// Adds `obj` (made with kelCreate) to `list` when `budget` allows `cost`;
// frees it otherwise. The object, or null when it was refused.
template <class T> T* kelMpegTSStore(kelMpegTS_pwnIDList& list, T* obj, kelMpegTSBudget& budget) noexcept
{
    if (obj == nullptr) return nullptr;
    if (!budget.take(int64_t(sizeof(T)))) {
        kelFree(obj);
        return nullptr;
    }
    if (list.add(static_cast<kelObject*>(obj)) < 0) {
        budget.give(int64_t(sizeof(T)));
        kelFree(obj);
        return nullptr;
    }
    return obj;
}
