#include "lines/telnet.h"

namespace telnet {

QByteArray escape(const QByteArray &bytes)
{
    if (!bytes.contains(char(IAC)))
        return bytes;
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (char c : bytes) {
        out += c;
        if (uint8_t(c) == IAC)
            out += c;
    }
    return out;
}

QByteArray comPortRequest(uint8_t request, const QByteArray &value)
{
    QByteArray out;
    out += char(IAC);
    out += char(SB);
    out += char(COM_PORT);
    out += char(request);
    out += escape(value);
    out += char(IAC);
    out += char(SE);
    return out;
}

namespace {
QByteArray command(uint8_t verb, uint8_t option)
{
    const char bytes[3] = {char(IAC), char(verb), char(option)};
    return QByteArray(bytes, 3);
}
} // namespace

QByteArray Client::start()
{
    // Offers count as agreed once sent: the server's DO/WILL then only confirms them.
    QByteArray out;
    for (uint8_t option : {COM_PORT, BINARY, SGA}) {
        m_local[option] = option != COM_PORT; // COM-PORT-OPTION is agreed only by the server's DO
        out += command(WILL, option);
    }
    for (uint8_t option : {BINARY, SGA}) {
        m_remote[option] = true;
        out += command(DO, option);
    }
    return out;
}

QByteArray Client::takeReplies()
{
    QByteArray out;
    out.swap(m_replies);
    return out;
}

QByteArray Client::receive(const QByteArray &bytes)
{
    QByteArray data;
    data.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const uint8_t c = uint8_t(bytes[i]);
        switch (m_state) {
        case State::Data:
            if (c == IAC)
                m_state = State::Iac;
            else
                data += char(c);
            break;
        case State::Iac:
            if (c == IAC) {
                data += char(c); // a doubled 0xFF is one data byte
                m_state = State::Data;
            } else if (c >= WILL && c <= DONT) {
                m_verb = c;
                m_state = State::Verb;
            } else if (c == SB) {
                m_sub.clear();
                m_state = State::Sub;
            } else {
                m_state = State::Data; // NOP, GA, AYT, a stray SE...: nothing to do
            }
            break;
        case State::Verb:
            negotiate(m_verb, c);
            m_state = State::Data;
            break;
        case State::Sub:
            if (c == IAC)
                m_state = State::SubIac;
            else if (m_sub.size() < kMaxSub)
                m_sub += char(c);
            break;
        case State::SubIac:
            if (c == IAC) {
                if (m_sub.size() < kMaxSub)
                    m_sub += char(c);
                m_state = State::Sub;
            } else if (c == SE) {
                subnegotiation();
                m_state = State::Data;
            } else {
                // A command inside a subnegotiation ends it unread: take the byte anew as the
                // command after an IAC.
                m_state = State::Iac;
                --i;
            }
            break;
        }
    }
    return data;
}

void Client::negotiate(uint8_t verb, uint8_t option)
{
    switch (verb) {
    case DO: // the server asks us to use an option
        if (!supported(option)) {
            m_replies += command(WONT, option);
        } else if (!m_local[option]) {
            m_local[option] = true;
            if (option != COM_PORT) // our WILL COM-PORT-OPTION was said at the start
                m_replies += command(WILL, option);
        }
        break;
    case DONT:
        if (option == COM_PORT)
            m_comPortRefused = true;
        if (m_local[option]) {
            m_local[option] = false;
            m_replies += command(WONT, option);
        }
        break;
    case WILL: // the server offers to use an option
        if (!supported(option) || option == COM_PORT) {
            m_replies += command(DONT, option);
        } else if (!m_remote[option]) {
            m_remote[option] = true;
            m_replies += command(DO, option);
        }
        break;
    case WONT:
        if (m_remote[option]) {
            m_remote[option] = false;
            m_replies += command(DONT, option);
        }
        break;
    }
}

void Client::subnegotiation()
{
    if (m_sub.size() < 2 || uint8_t(m_sub[0]) != COM_PORT)
        return;
    const uint8_t code = uint8_t(m_sub[1]);
    if (code > kServerOffset && code - kServerOffset < 32)
        m_pending &= ~(1u << (code - kServerOffset));
}

} // namespace telnet
