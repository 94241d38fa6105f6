#pragma once
// An IP receiver that keeps what reaches it besides RTP: every STUN message
// handed to its STUN seam, byte for byte, and every text of onText. Its
// records are filled on the RTP receiver's thread and read by the test
// through the copying accessors.

#include "streaming/kelIPStreaming.h"

#include <cstdint>
#include <mutex>
#include <vector>

class kelTestSTUNReceiver : public TkelIPReceiver
{
public:
    kelTestSTUNReceiver()
    {
        setOnText([this](kelmtlInOutPipe*, const char16_t* text) {
            std::lock_guard lock(f_guard);
            f_texts.emplace_back(text);
        });
    }

    std::vector<std::vector<uint8_t>> stun()
    {
        std::lock_guard lock(f_guard);
        return f_stun;
    }
    size_t stunCount()
    {
        std::lock_guard lock(f_guard);
        return f_stun.size();
    }
    std::vector<kelString> texts()
    {
        std::lock_guard lock(f_guard);
        return f_texts;
    }

protected:
    void doSTUN(const sockaddr_in& from, const uint8_t* data, size_t size) override
    {
        TkelIPReceiver::doSTUN(from, data, size);
        std::lock_guard lock(f_guard);
        f_stun.emplace_back(data, data + size);
    }

private:
    std::mutex f_guard;
    std::vector<std::vector<uint8_t>> f_stun;
    std::vector<kelString> f_texts;
};
