// The telnet / RFC 2217 client's receive side, fed what a server (or anything on the network)
// may send.
//
// Input: byte 0 chooses how the rest arrives: in one read, or cut into reads whose lengths are
// taken in turn from bytes 1 to 4 (each 1 to 16). The other bytes are what the server sent.
//
// Checked: the serial data and the replies do not depend on where the reads are cut; every
// reply is a three-byte refusal or agreement (IAC, WILL/WONT/DO/DONT, option) and no agreement
// is said twice without a refusal between (a request refused again may be refused again); data sent escaped comes back as it was, whatever came
// before it, once the parser is back between commands.
#include "fuzzing.h"

#include "lines/telnet.h"

#include <QSet>

namespace {

struct Heard {
    QByteArray data, replies;
};

Heard feed(const QByteArray &input, const QList<int> &cuts)
{
    telnet::Client client;
    client.start();
    Heard h;
    qsizetype at = 0;
    for (int i = 0; at < input.size(); ++i) {
        const qsizetype n = cuts.isEmpty() ? input.size() : cuts[i % cuts.size()];
        h.data += client.receive(input.mid(at, n));
        h.replies += client.takeReplies();
        at += n;
    }
    // Two IAC SE bring the parser back between commands from any state; then escaped data
    // comes through as it was.
    const QByteArray probe("\xff\x00\x01\xff\xff", 5), end("\xff\xf0", 2);
    client.receive(end + end);
    const QByteArray back = client.receive(telnet::escape(probe));
    FUZZ_CHECK(back == probe, "escaped data came back as %s", back.toHex().constData());
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 5)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(bytes) + 5, qsizetype(size) - 5);
    QList<int> cuts;
    if (bytes[0] & 1)
        for (int i = 1; i <= 4; ++i)
            cuts << 1 + bytes[i] % 16;
    const Heard whole = feed(input, {});
    const Heard cut = feed(input, cuts);
    FUZZ_CHECK(whole.data == cut.data, "data differs by cuts: %s / %s", whole.data.toHex().constData(), cut.data.toHex().constData());
    FUZZ_CHECK(whole.replies == cut.replies, "replies differ by cuts");
    FUZZ_CHECK(whole.data.size() <= input.size(), "more data than input");
    FUZZ_CHECK(whole.replies.size() % 3 == 0, "a reply of %lld bytes", qlonglong(whole.replies.size()));
    // Agreements are never said twice without a refusal between: two peers cannot loop. The
    // client's opening offers (WILL COM-PORT-OPTION, BINARY, SGA; DO BINARY, SGA) stand agreed.
    QSet<int> agreed{telnet::WILL << 8 | telnet::COM_PORT, telnet::WILL << 8 | telnet::BINARY, telnet::WILL << 8 | telnet::SGA,
                     telnet::DO << 8 | telnet::BINARY, telnet::DO << 8 | telnet::SGA};
    for (qsizetype i = 0; i < whole.replies.size(); i += 3) {
        const uint8_t iac = uint8_t(whole.replies[i]), verb = uint8_t(whole.replies[i + 1]), option = uint8_t(whole.replies[i + 2]);
        FUZZ_CHECK(iac == telnet::IAC && verb >= telnet::WILL && verb <= telnet::DONT, "reply %s",
                   whole.replies.mid(i, 3).toHex().constData());
        if (verb == telnet::WILL || verb == telnet::DO) {
            FUZZ_CHECK(!agreed.contains(verb << 8 | option), "agreed twice: %s", whole.replies.mid(i, 3).toHex().constData());
            agreed.insert(verb << 8 | option);
        } else {
            agreed.remove((verb == telnet::WONT ? telnet::WILL : telnet::DO) << 8 | option);
        }
    }
    return 0;
}
