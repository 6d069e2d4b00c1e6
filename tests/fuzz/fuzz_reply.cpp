// The link's reply path fed characters directly, as the receive notification hands them over.
//
// Input: byte 0 chooses the framing (bit 0: OEM) and how the characters arrive (bit 1: in
// runs of up to 8 instead of one at a time; bit 3: a babbling line of 12,288 characters without a line end afterwards). The other bytes are the
// characters (Latin-1).
//
// Checked after every character: the recogniser's state stays 0 to 3, the buffer at most
// DriveLink::kMaxResponse. Checked against a model of the recogniser and the decoding written
// here from the wire formats: how many replies are decoded, the text each writes into the row,
// and what the buffer holds afterwards.
#include "fuzzing.h"

#include "support/linkfakes.h"

#include <optional>

namespace {

struct Rows : RowSink {
    QList<QString> texts; // every text written into row 0, in order
    int decoded = 0;
    int enables = 0;
    void setResponseText(int row, const QString &t) override
    {
        FUZZ_CHECK(row == 0, "text for row %d", row);
        texts << t;
    }
    void markRow(int row, Outcome o) override
    {
        FUZZ_CHECK(row == 0 && o == Outcome::Decoded, "row %d marked %d", row, int(o));
    }
    void enableSendButtons() override { ++enables; }
};

const QStringList kErrorTexts = {
    QStringLiteral(" No Error"), QString(), QStringLiteral(" Invalid Command"), QStringLiteral(" Invalid Operand"),
    QStringLiteral("Error 4"), QStringLiteral("Error 5"), QStringLiteral("Error 6"), QStringLiteral("Error 7"),
    QStringLiteral("Error 8"), QStringLiteral("Error 9"), QStringLiteral("Error 10"), QStringLiteral("Error 11"),
    QStringLiteral("Error 12"), QStringLiteral("Error 13"), QStringLiteral("Error 14"),
    QStringLiteral("Device is already executing a command"), QStringLiteral("Error 16")};

// The wire formats, one character at a time, without any bound on the buffer.
struct Model {
    bool oem = false;
    QByteArray buffer;
    int state = 0;
    uint8_t sum = 0;
    std::optional<int> code; // the last status's low 4 bits; none before the first
    QList<QString> texts;    // what each decode writes into the row (nothing without a code)
    int decoded = 0;

    void decode()
    {
        ++decoded;
        QByteArray data;
        const int n = int(buffer.size());
        if (!oem) {
            // Status: after the first "0" among positions 1 to n-1; data: positions 5 to n-1.
            for (int p = 1; p <= n - 1; ++p)
                if (buffer[p - 1] == '0') {
                    code = uint8_t(buffer[p]) & 15;
                    break;
                }
            for (int p = 5; p <= n - 1; ++p)
                data += buffer[p - 1];
        } else {
            if (n >= 2)
                code = uint8_t(buffer[1]) & 15;
            for (int p = 3; p <= n - 1; ++p)
                if (buffer[p - 1] != '\r')
                    data += buffer[p - 1];
        }
        if (code)
            texts << QString::fromLatin1(data) + kErrorTexts[*code];
        buffer = data;
    }

    void take(uint8_t c)
    {
        if (!oem) {
            if (c == '\r')
                decode();
            else
                buffer += char(c);
            return;
        }
        switch (state) {
        case 0:
            if (c == 2) {
                sum = 2;
                buffer.clear();
                state = 1;
            }
            return;
        case 1:
            sum ^= c;
            buffer += char(c);
            state = c == '0' ? 2 : 1;
            break;
        case 2:
            sum ^= c;
            buffer += char(c);
            state = c == 3 ? 3 : 2;
            break;
        case 3:
            if (c == sum)
                decode();
            state = 0;
            break;
        }
        if (c == 2) {
            sum = 2;
            state = 1;
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t how = data[0];
    Rows rows;
    LiveSettings settings;
    settings.mode = how & 1 ? framing::Mode::OEM : framing::Mode::DT;
    DriveLink link(rows, settings);
    for (int i = 0; i < int(kErrorTexts.size()); ++i)
        link.ErrorTexts[size_t(i)] = kErrorTexts[i];
    Model model;
    model.oem = how & 1;
    bool bounded = true; // the model's buffer never outgrew the link's bound
    const size_t run = how & 2 ? 8 : 1;
    for (size_t i = 1; i < size;) {
        const size_t n = std::min(run, size - i);
        QString chars;
        for (size_t k = 0; k < n; ++k) {
            chars += QChar(char16_t(data[i + k]));
            model.take(data[i + k]);
        }
        link.receive(chars);
        i += n;
        FUZZ_CHECK(link.OemRxState <= 3, "recogniser state %d", int(link.OemRxState));
        FUZZ_CHECK(link.ResponseBuffer.size() <= DriveLink::kMaxResponse, "buffer of %lld characters",
                   (long long)link.ResponseBuffer.size());
        bounded = bounded && model.buffer.size() <= DriveLink::kMaxResponse;
        if (bounded) {
            FUZZ_CHECK(link.ResponseBuffer == QString::fromLatin1(model.buffer), "buffer \"%s\", expected \"%s\"",
                       qPrintable(link.ResponseBuffer), model.buffer.toHex(' ').constData());
            FUZZ_CHECK(!model.oem || link.OemRxState == model.state, "state %d, expected %d", int(link.OemRxState),
                       model.state);
        }
    }
    FUZZ_CHECK(rows.enables == model.decoded, "%d replies decoded, expected %d", rows.enables, model.decoded);
    FUZZ_CHECK(!bounded || rows.texts == model.texts, "%lld row texts, expected %d; last \"%s\", expected \"%s\"",
               (long long)rows.texts.size(), int(model.texts.size()), qPrintable(rows.texts.value(rows.texts.size() - 1)),
               qPrintable(model.texts.value(model.texts.size() - 1)));

    if (how & 8) {
        // A line that babbles without ever ending a reply: the buffer keeps only its latest part.
        const QString babble(3 * DriveLink::kMaxResponse, QLatin1Char(model.oem ? '5' : 'x'));
        if (model.oem)
            link.receive(QStringLiteral("\x02"));
        link.receive(babble);
        FUZZ_CHECK(link.ResponseBuffer.size() <= DriveLink::kMaxResponse, "buffer of %lld after babble",
                   (long long)link.ResponseBuffer.size());
        FUZZ_CHECK(link.ResponseBuffer.endsWith(babble.right(DriveLink::kMaxResponse / 2)),
                   "the latest characters are not kept");
        FUZZ_CHECK(link.OemRxState <= 3, "recogniser state %d after babble", int(link.OemRxState));
    }
    return 0;
}
