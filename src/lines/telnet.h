#pragma once
// The telnet side of a network serial port (RFC 854 with the COM-PORT-OPTION of RFC 2217), as a
// client speaks it to a port server such as ser2net. Pure logic: bytes in, bytes out, no socket.
//
// The client offers BINARY and SGA both ways and COM-PORT-OPTION on its side; it refuses every
// other option (DONT/WONT), answering only when an option's state changes, so two peers never
// loop. Serial data travel with 0xFF doubled; receive() undoes that and takes IAC sequences
// split across any number of reads.

#include <QByteArray>
#include <QList>
#include <cstdint>

namespace telnet {

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;
// COM-PORT-OPTION requests from the client; the server answers each with its code + 100.
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, PURGE_DATA = 12;
constexpr uint8_t kServerOffset = 100;

// 0xFF doubled, as serial data and option values travel.
QByteArray escape(const QByteArray &bytes);
// IAC SB COM-PORT-OPTION <request> <value, escaped> IAC SE.
QByteArray comPortRequest(uint8_t request, const QByteArray &value);

class Client {
public:
    // What the client says first: WILL COM-PORT-OPTION, WILL/DO BINARY, WILL/DO SGA.
    QByteArray start();
    // Takes bytes from the network. Returns the serial data among them; answers to the
    // server's negotiation wait in takeReplies().
    QByteArray receive(const QByteArray &bytes);
    QByteArray takeReplies();

    // The server agreed to (DO) or refused (DONT) COM-PORT-OPTION; neither yet when both false.
    bool comPortAgreed() const { return m_local[COM_PORT]; }
    bool comPortRefused() const { return m_comPortRefused; }
    // COM-PORT-OPTION requests sent and not yet answered, by request code (1 to 12); each
    // answer of the server clears its request.
    void expect(uint8_t request) { m_pending |= 1u << request; }
    bool anyPending() const { return m_pending != 0; }

private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    void negotiate(uint8_t verb, uint8_t option);
    void subnegotiation();
    static bool supported(uint8_t option) { return option == BINARY || option == SGA || option == COM_PORT; }

    // No subnegotiation of this protocol is longer; the rest of a longer one is dropped.
    static constexpr qsizetype kMaxSub = 64;

    State m_state = State::Data;
    uint8_t m_verb = 0;
    QByteArray m_sub;
    QByteArray m_replies;
    bool m_local[256] = {};  // options enabled on our side (WILL agreed)
    bool m_remote[256] = {}; // options enabled on the server's side (DO agreed)
    bool m_comPortRefused = false;
    uint32_t m_pending = 0;
};

} // namespace telnet
