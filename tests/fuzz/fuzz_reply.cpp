// The link's reply path fed characters directly, as the receive notification hands them over.
//
// Input: byte 0 chooses the framing (bit 0: OEM), how the characters are cut into receives
// (bit 1: runs of up to 8 besides one at a time) and whether a babbling line of three times the
// buffer's bound follows, without a line end (bit 3). The other bytes are the characters (Latin-1).
//
// Checked after every receive: the recogniser's state stays 0 to 3, the buffer within 4,096
// characters. Checked at the end: in DT every CR ends a reply; each reply decoded
// enables the Send buttons once and writes at most one text, into the current row; and the texts,
// the replies, the buffer and the state do not depend on where the receives were cut.
#include "fuzzing.h"

#include "support/linkfakes.h"

namespace {

struct Heard : RowSink {
    QList<QString> texts; // every text written into row 0, in order
    int decoded = 0;
    QString buffer;
    int state = 0;
    void setResponseText(int row, const QString &t) override
    {
        FUZZ_CHECK(row == 0, "text for row %d", row);
        texts << t;
    }
    void markRow(int row, Outcome o) override
    {
        FUZZ_CHECK(row == 0 && o == Outcome::Decoded, "row %d marked %d", row, int(o));
    }
    void enableSendButtons() override { ++decoded; }
};

void checkBounds(const DriveLink &link, const char *when)
{
    FUZZ_CHECK(link.OemRxState <= 3, "recogniser state %d %s", int(link.OemRxState), when);
    FUZZ_CHECK(link.ResponseBuffer.size() <= 4096, "buffer of %lld characters %s",
               (long long)link.ResponseBuffer.size(), when);
}

Heard feed(bool oem, const QByteArray &chars, qsizetype run, bool babble)
{
    Heard heard;
    LiveSettings settings;
    settings.mode = oem ? framing::Mode::OEM : framing::Mode::DT;
    DriveLink link(heard, settings);
    link.ErrorTexts = framing::errorTexts();
    for (qsizetype i = 0; i < chars.size(); i += run) {
        link.receive(QString::fromLatin1(chars.mid(i, run)));
        checkBounds(link, "");
    }
    FUZZ_CHECK(heard.texts.size() <= heard.decoded, "%lld texts for %d replies", (long long)heard.texts.size(), heard.decoded);
    if (babble) {
        // A line that babbles without ever ending a reply: the buffer keeps only its latest part.
        const QString noise(3 * DriveLink::kMaxResponse, QLatin1Char(oem ? '5' : 'x'));
        link.receive((oem ? QStringLiteral("\x02") : QString()) + noise);
        checkBounds(link, "after babble");
        FUZZ_CHECK(link.ResponseBuffer.endsWith(noise.right(DriveLink::kMaxResponse / 2)), "the latest characters are not kept");
    }
    heard.buffer = link.ResponseBuffer;
    heard.state = link.OemRxState;
    return heard;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool oem = data[0] & 1, babble = data[0] & 8;
    const QByteArray chars(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    const Heard single = feed(oem, chars, 1, babble);
    FUZZ_CHECK(oem || single.decoded == chars.count('\r'), "%d DT replies for %lld CRs", single.decoded,
               (long long)chars.count('\r'));
    if (data[0] & 2) {
        const Heard runs = feed(oem, chars, 8, babble);
        FUZZ_CHECK(runs.texts == single.texts && runs.decoded == single.decoded, "replies differ by cuts");
        FUZZ_CHECK(runs.buffer == single.buffer && runs.state == single.state, "buffer or state differs by cuts");
    }
    return 0;
}
