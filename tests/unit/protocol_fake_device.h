// A scripted device for the protocol tests, played through the fake port's
// responder: its application answers "^V$" at 19200 baud, its boot loader
// answers packets at 115200 baud. Install() after fake::Reset().
#pragma once

#include "fake.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testdevice {

inline std::vector<uint8_t> Packet(const std::vector<uint8_t>& data)
{
    uint8_t sum = 0;
    for (uint8_t b : data)
        sum = static_cast<uint8_t>(sum + b);
    std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size() + 2), sum};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

inline std::vector<uint8_t> Bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

struct Device {
    enum Side { kApplication, kBootLoader, kNothing };
    Side side = kApplication;

    // Application: the bytes sent in answer to "^V$" (empty: silent), and
    // the bytes the application sends by itself after a reset.
    std::string versionAnswer;
    std::string startupMessage;
    uint32_t startupDelayMs = 300;

    // Boot loader: the acknowledgement of each packet (empty: none), the
    // reply to the information command and the one to get status, as whole
    // wire bytes.
    std::vector<uint8_t> ack{0xCC};
    // When not empty, the acknowledgements of the next packets, one entry
    // each, before `ack` applies again.
    std::vector<std::vector<uint8_t>> ackScript;
    std::vector<uint8_t> informationReply;
    std::vector<uint8_t> statusReply;
    // What the boot loader received, each packet's data bytes.
    std::vector<std::vector<uint8_t>> packets;
    int zeroFiller = 0;    // 0x00 bytes skipped where a size byte was due

    void Install()
    {
        fake::SetResponder([this](const uint8_t* bytes, int count, int baud) {
            for (int i = 0; i < count; ++i)
                Take(bytes[i], baud);
        });
    }

private:
    std::string line_;
    int state_ = 0;    // boot loader: 0 size due, 1 checksum due, 2 data
    bool answerDue_ = false;    // the program owes an ACK or NAK for a reply
    int dataDue_ = 0;
    std::vector<uint8_t> data_;

    void Take(uint8_t byte, int baud)
    {
        if (side == kApplication && baud == 19200) {
            line_.push_back(static_cast<char>(byte));
            if (line_.size() >= 3 && line_.compare(line_.size() - 3, 3, "^V$") == 0) {
                line_.clear();
                if (!versionAnswer.empty())
                    fake::Deliver(versionAnswer);
            }
        } else if (side == kBootLoader && baud == 115200) {
            TakePacketByte(byte);
        }
    }

    void TakePacketByte(uint8_t byte)
    {
        if (state_ == 0) {
            if (answerDue_ && (byte == 0xCC || byte == 0x33)) {
                answerDue_ = false;
                return;
            }
            if (byte == 0) {
                ++zeroFiller;
                return;
            }
            dataDue_ = static_cast<uint8_t>(byte - 2);
            data_.clear();
            state_ = 1;
            return;
        }
        if (state_ == 1) {
            state_ = 2;
            if (dataDue_ > 0)
                return;
        } else {
            data_.push_back(byte);
            if (static_cast<int>(data_.size()) < dataDue_)
                return;
        }
        state_ = 0;
        packets.push_back(data_);
        Answer();
    }

    void Answer()
    {
        const uint8_t code = data_.empty() ? 0 : data_[0];
        if (code == 0x25) {
            side = kApplication;
            if (!startupMessage.empty())
                fake::DeliverAt(fake::Now() + startupDelayMs, Bytes(startupMessage), 1);
            return;
        }
        std::vector<uint8_t> answer = ack;
        if (!ackScript.empty()) {
            answer = ackScript.front();
            ackScript.erase(ackScript.begin());
        }
        if (!answer.empty())
            fake::Deliver(answer);
        if (code == 0x26 && !informationReply.empty()) {
            fake::Deliver(informationReply);
            answerDue_ = true;
        }
        if (code == 0x23 && !statusReply.empty()) {
            fake::Deliver(statusReply);
            answerDue_ = true;
        }
    }
};

}  // namespace testdevice
