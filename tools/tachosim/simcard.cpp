#include "simcard.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr uint16_t SW_OK = 0x9000;
constexpr uint16_t SW_END_OF_FILE = 0x6282;
constexpr uint16_t SW_WRONG_LENGTH = 0x6700;
constexpr uint16_t SW_SECURITY = 0x6982;
constexpr uint16_t SW_BLOCKED = 0x6983;
constexpr uint16_t SW_NO_CURRENT_EF = 0x6986;
constexpr uint16_t SW_FILE_NOT_FOUND = 0x6A82;
constexpr uint16_t SW_WRONG_P1P2 = 0x6A86;
constexpr uint16_t SW_DATA_NOT_FOUND = 0x6A88;
constexpr uint16_t SW_OFFSET_OUTSIDE = 0x6B00;
constexpr uint16_t SW_WRONG_INS = 0x6D00;
constexpr uint16_t SW_WRONG_CLA = 0x6E00;

const Bytes tachographAid = {0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};

Bytes sw(uint16_t word)
{
    return {uint8_t(word >> 8), uint8_t(word & 0xFF)};
}

Bytes withSw(Bytes data, uint16_t word)
{
    data.push_back(uint8_t(word >> 8));
    data.push_back(uint8_t(word & 0xFF));
    return data;
}

// The 16 characters of a card or module number, cut or padded with blanks.
Bytes fixed16(const std::string& text)
{
    Bytes out(text.begin(), text.end());
    out.resize(16, ' ');
    return out;
}

// A DER-shaped stand-in when no certificate file is given: SEQUENCE, long
// length 0x01FE, then a counting pattern; 514 bytes, so three chunks.
Bytes builtinCertificate()
{
    Bytes out = {0x30, 0x82, 0x01, 0xFE};
    for (int i = 0; i < 0x1FE; ++i)
        out.push_back(uint8_t(i & 0xFF));
    return out;
}

} // namespace

Bytes pinBlock(const std::string& pin)
{
    Bytes block(8, 0xFF);
    for (size_t i = 0; i < pin.size() && i < 8; ++i)
        block[i] = uint8_t(pin[i]);
    return block;
}

std::string toHex(const Bytes& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

bool fromHex(const std::string& text, Bytes* out)
{
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':')
            continue;
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits.push_back(c);
    }
    if (digits.size() % 2)
        return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

SimulatedCard::SimulatedCard(const CardProfile& profile)
    : m_profile(profile), m_pinTries(profile.pinTries), m_pukTries(profile.pukTries), m_pin(profile.pin)
{
    // EF ICC: 9 bytes of chip data, then the module number at 9..24.
    Bytes icc = {0x00, 0x01, 0x52, 0x55, 0x00, 0x00, 0x00, 0x01, 0x00};
    Bytes skzi(profile.skziNumber.begin(), profile.skziNumber.end());
    skzi.resize(16, 0x00);
    icc.insert(icc.end(), skzi.begin(), skzi.end());
    m_files[0x0002] = {Dir::MF, icc};

    m_files[0x0501] = {Dir::Tacho, {uint8_t(profile.cardType)}};

    // EF Identification: issuing member state, then the 16-byte card number,
    // then the rest of the record (names, dates) left blank.
    Bytes ident = {0x00};
    Bytes number = fixed16(profile.cardNumber);
    ident.insert(ident.end(), number.begin(), number.end());
    ident.resize(65, ' ');
    m_files[0x0520] = {Dir::Tacho, ident};

    // EF C200 is a fixed-size file on a real card, longer than the
    // certificate it holds: pad it so whole 256-byte chunks can be read.
    Bytes cert = profile.certificate.empty() ? builtinCertificate() : profile.certificate;
    size_t size = profile.certificateFileSize ? profile.certificateFileSize : (cert.size() + 255) / 256 * 256;
    if (size > cert.size())
        cert.resize(size, 0x00);
    m_files[0xC200] = {Dir::Tacho, cert};
}

Bytes SimulatedCard::atr() const
{
    if (m_profile.t0)
        return {0x3B, 0x02, 0x14, 0x50};
    return {0x3B, 0x80, 0x01, 0x81};
}

void SimulatedCard::clearSecurity()
{
    m_pinVerified = false;
    m_currentDir = Dir::MF;
    m_currentEf = -1;
}

void SimulatedCard::powerOff()
{
    m_powered = false;
    clearSecurity();
}

void SimulatedCard::powerOn()
{
    m_powered = true;
    clearSecurity();
}

void SimulatedCard::reset()
{
    m_powered = true;
    clearSecurity();
}

Answer SimulatedCard::command(const Bytes& apdu)
{
    ++m_commandCount;
    Answer answer;
    if (m_profile.mute) {
        answer.kind = Answer::NoReply;
        return answer;
    }
    if (m_profile.emptyAnswer) {
        answer.kind = Answer::Drop;
        return answer;
    } else {
        bool prefixMatches = !m_profile.faultCommand.empty() && apdu.size() >= m_profile.faultCommand.size() &&
                             std::equal(m_profile.faultCommand.begin(), m_profile.faultCommand.end(), apdu.begin());
        bool fault = false;
        if (m_profile.faultSw) {
            if (!m_profile.faultCommand.empty() && m_profile.faultCommandIndex > 0) {
                // Both given: the n-th command that matches the prefix.
                if (prefixMatches && ++m_faultMatches == m_profile.faultCommandIndex)
                    fault = true;
            } else if (!m_profile.faultCommand.empty()) {
                fault = prefixMatches;
            } else if (m_profile.faultCommandIndex > 0) {
                fault = m_commandCount == m_profile.faultCommandIndex;
            }
        }
        answer.data = fault ? sw(uint16_t(m_profile.faultSw)) : process(apdu);
    }
    if (m_profile.removeAfter > 0 && m_commandCount >= m_profile.removeAfter)
        answer.kind = Answer::ReplyThenRemove;
    return answer;
}

Bytes SimulatedCard::process(const Bytes& apdu)
{
    if (apdu.size() < 4)
        return sw(SW_WRONG_LENGTH);
    const uint8_t cla = apdu[0], ins = apdu[1], p1 = apdu[2], p2 = apdu[3];

    // Short APDU cases: 1 (header), 2 (Le), 3 (Lc data), 4 (Lc data Le).
    Bytes data;
    bool hasData = false, hasLe = false;
    size_t le = 0;
    if (apdu.size() == 5) {
        hasLe = true;
        le = apdu[4] ? apdu[4] : 256;
    } else if (apdu.size() > 5) {
        size_t lc = apdu[4];
        if (lc == 0 || (apdu.size() != 5 + lc && apdu.size() != 6 + lc))
            return sw(SW_WRONG_LENGTH);
        hasData = true;
        data.assign(apdu.begin() + 5, apdu.begin() + 5 + long(lc));
        if (apdu.size() == 6 + lc) {
            hasLe = true;
            le = apdu.back() ? apdu.back() : 256;
        }
    }

    if (m_profile.echo && cla == 0x80 && ins == 0xEE && hasData && !hasLe)
        return data;
    if (cla != 0x00)
        return sw(SW_WRONG_CLA);
    switch (ins) {
    case 0xA4:
        return select(p1, p2, data, hasLe);
    case 0xB0:
        if (hasData || !hasLe)
            return sw(SW_WRONG_LENGTH);
        return readBinary(p1, p2, le, hasData);
    case 0xCA:
        if (hasData || !hasLe)
            return sw(SW_WRONG_LENGTH);
        return getData(p1, p2, le);
    case 0x20:
        if (hasLe)
            return sw(SW_WRONG_LENGTH);
        return verify(p1, p2, data, hasData);
    case 0x2C:
        if (hasLe)
            return sw(SW_WRONG_LENGTH);
        return resetRetryCounter(p1, p2, data);
    default:
        return sw(SW_WRONG_INS);
    }
}

Bytes SimulatedCard::select(uint8_t p1, uint8_t p2, const Bytes& data, bool hasLe)
{
    // Only "no response data" (P2 0C) is offered; an FCI is never returned.
    if (p2 != 0x0C || hasLe)
        return sw(SW_WRONG_P1P2);
    switch (p1) {
    case 0x00: // MF by its identifier, or with no data
        if (data.empty() || data == Bytes{0x3F, 0x00}) {
            m_currentDir = Dir::MF;
            m_currentEf = -1;
            return sw(SW_OK);
        }
        return sw(SW_FILE_NOT_FOUND);
    case 0x04: // DF by name
        if (data == tachographAid) {
            m_currentDir = Dir::Tacho;
            m_currentEf = -1;
            return sw(SW_OK);
        }
        return sw(SW_FILE_NOT_FOUND);
    case 0x02: { // EF under the current DF
        if (data.size() != 2)
            return sw(SW_WRONG_LENGTH);
        uint16_t fid = uint16_t(data[0] << 8 | data[1]);
        auto it = m_files.find(fid);
        if (it == m_files.end() || it->second.dir != m_currentDir)
            return sw(SW_FILE_NOT_FOUND);
        m_currentEf = fid;
        return sw(SW_OK);
    }
    default:
        return sw(SW_WRONG_P1P2);
    }
}

Bytes SimulatedCard::readBinary(uint8_t p1, uint8_t p2, size_t le, bool)
{
    // P1 bit 8 would name a short EF identifier; this card has none.
    if (p1 & 0x80)
        return sw(SW_WRONG_P1P2);
    if (m_currentEf < 0)
        return sw(SW_NO_CURRENT_EF);
    if (m_currentEf == 0x0520 && m_profile.protectCardNumber && (m_profile.cardType == 3 || m_profile.cardType == 4) &&
        !m_pinVerified)
        return sw(SW_SECURITY);
    const Bytes& file = m_files[uint16_t(m_currentEf)].data;
    size_t offset = size_t(p1) << 8 | p2;
    if (offset >= file.size())
        return sw(SW_OFFSET_OUTSIDE);
    if (m_profile.emptyReadBinary)
        return sw(SW_OK);
    size_t available = file.size() - offset;
    Bytes out(file.begin() + long(offset), file.begin() + long(offset + std::min(le, available)));
    return withSw(out, le > available ? SW_END_OF_FILE : SW_OK);
}

Bytes SimulatedCard::getData(uint8_t p1, uint8_t p2, size_t le)
{
    if (!m_profile.getDataSupported)
        return sw(uint16_t(m_profile.getDataRefusedSw));
    if (p1 != 0x00 || p2 != 0x45)
        return sw(SW_DATA_NOT_FOUND);
    if (le < 18)
        return sw(uint16_t(0x6C12));
    Bytes out = {uint8_t(m_profile.cardType), 0x00};
    Bytes number = fixed16(m_profile.cardNumber);
    out.insert(out.end(), number.begin(), number.end());
    return withSw(out, SW_OK);
}

Bytes SimulatedCard::verify(uint8_t p1, uint8_t p2, const Bytes& data, bool hasData)
{
    if (p1 != 0x00 || p2 != 0x00)
        return sw(SW_WRONG_P1P2);
    if (m_pinTries <= 0)
        return sw(SW_BLOCKED);
    // VERIFY without data asks for the remaining tries.
    if (!hasData)
        return m_pinVerified ? sw(SW_OK) : sw(uint16_t(0x63C0 | m_pinTries));
    if (data.size() != 8)
        return sw(SW_WRONG_LENGTH);
    if (data == pinBlock(m_pin)) {
        m_pinTries = m_profile.pinMaxTries;
        m_pinVerified = true;
        return sw(SW_OK);
    }
    m_pinVerified = false;
    --m_pinTries;
    return sw(uint16_t(0x63C0 | m_pinTries));
}

Bytes SimulatedCard::resetRetryCounter(uint8_t p1, uint8_t p2, const Bytes& data)
{
    if (p1 != 0x00 || p2 != 0x00)
        return sw(SW_WRONG_P1P2);
    if (data.size() != 16)
        return sw(SW_WRONG_LENGTH);
    if (m_pukTries <= 0)
        return sw(SW_BLOCKED);
    Bytes puk(data.begin(), data.begin() + 8);
    if (puk != pinBlock(m_profile.puk)) {
        --m_pukTries;
        return sw(uint16_t(0x63C0 | m_pukTries));
    }
    std::string newPin;
    for (auto it = data.begin() + 8; it != data.end() && *it != 0xFF; ++it)
        newPin.push_back(char(*it));
    if (newPin.empty())
        return sw(0x6A80);
    m_pin = newPin;
    m_pinTries = m_profile.pinMaxTries;
    m_pukTries = m_profile.pukMaxTries;
    m_pinVerified = false;
    return sw(SW_OK);
}
