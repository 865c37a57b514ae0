#pragma once

// The card itself: file system, PIN/PUK counters and the APDU answers of a
// tachograph card, without any I/O.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct CardProfile
{
    int cardType = 1;
    std::string cardNumber = "RUD0000000000001";
    std::string skziNumber = "SKZI000000000001";
    Bytes certificate;              // EF C200 contents before padding
    size_t certificateFileSize = 0; // 0: rounded up to a multiple of 256
    std::string pin = "1234";
    std::string puk = "12345678";
    int pinTries = 3;
    int pinMaxTries = 3;
    int pukTries = 10;
    int pukMaxTries = 10;
    bool t0 = false;
    bool getDataSupported = true;
    int getDataRefusedSw = 0x6D00;
    bool protectCardNumber = true;

    int faultCommandIndex = 0;
    Bytes faultCommand;
    int faultSw = 0;
    bool mute = false;
    int muteReleaseMs = 0; // a mute card drops the connection after this long (0 = never)
    bool emptyReadBinary = false;
    int removeAfter = 0;
    bool emptyAnswer = false;
    // Test hook: 80 EE 00 00 Lc DATA is answered with DATA verbatim, so any
    // response (a bare status word, 1 byte, data) can travel the real stack.
    bool echo = false;
};

// What the transport must do with a command.
struct Answer
{
    // Drop: vpcd hangs on a zero-length frame, so an empty answer is played
    // by dropping the connection instead (pcscd then returns 0 bytes) and
    // coming back inserted at once.
    enum Kind
    {
        Reply,
        NoReply,
        ReplyThenRemove,
        Drop
    } kind = Reply;
    Bytes data;
};

class SimulatedCard
{
public:
    explicit SimulatedCard(const CardProfile& profile);

    Bytes atr() const;
    void powerOff();
    void powerOn();
    void reset();
    Answer command(const Bytes& apdu);

    bool powered() const { return m_powered; }
    bool pinVerified() const { return m_pinVerified; }
    int pinTries() const { return m_pinTries; }
    int pukTries() const { return m_pukTries; }
    const std::string& pin() const { return m_pin; }

private:
    enum class Dir
    {
        MF,
        Tacho
    };
    struct File
    {
        Dir dir;
        Bytes data;
    };

    Bytes process(const Bytes& apdu);
    Bytes select(uint8_t p1, uint8_t p2, const Bytes& data, bool hasLe);
    Bytes readBinary(uint8_t p1, uint8_t p2, size_t le, bool hasData);
    Bytes getData(uint8_t p1, uint8_t p2, size_t le);
    Bytes verify(uint8_t p1, uint8_t p2, const Bytes& data, bool hasData);
    Bytes resetRetryCounter(uint8_t p1, uint8_t p2, const Bytes& data);
    void clearSecurity();

    CardProfile m_profile;
    std::map<uint16_t, File> m_files;
    Dir m_currentDir = Dir::MF;
    int m_currentEf = -1;
    bool m_powered = false;
    bool m_pinVerified = false;
    int m_pinTries;
    int m_pukTries;
    std::string m_pin;
    int m_commandCount = 0;
    int m_faultMatches = 0;
};

Bytes pinBlock(const std::string& pin);
std::string toHex(const Bytes& bytes);
bool fromHex(const std::string& text, Bytes* out);
