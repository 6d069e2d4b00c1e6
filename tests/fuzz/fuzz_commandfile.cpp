// The command-file reader on any bytes, and the writer and reader together.
//
// Input: the bytes of a command file. They are read from the whole buffer at once and, when the
// first byte has its top bit set, also from a device that hands out at most 1 to 16 bytes a read
// (the first byte chooses); both must give the same fields, each field at most 64 KiB, and the
// reading must end.
//
// Then the same bytes, cut at every NUL into values, are written and read back: a piece that
// begins with byte 1 is a whole number (its next four bytes, little-endian), one that begins
// with byte 2 is a never-set value, any other piece is a text (Latin-1, double quotes left out,
// since a text holding one cannot be carried). Each value must read back as its text: the text
// itself, the number's decimal digits, or an empty text; and then the content must end.
#include "fuzzing.h"

#include "console/commandfile.h"

#include <QBuffer>

namespace {

// A device that hands out at most `step` bytes a read, as a slow file system might.
class Trickle : public QIODevice {
public:
    Trickle(const QByteArray &bytes, qint64 step) : m_bytes(bytes), m_step(step) { open(ReadOnly); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = std::min({maxSize, m_step, qint64(m_bytes.size()) - m_pos});
        if (n <= 0)
            return m_pos >= m_bytes.size() ? -1 : 0;
        memcpy(data, m_bytes.constData() + m_pos, size_t(n));
        m_pos += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }
    bool isSequential() const override { return true; }

private:
    QByteArray m_bytes;
    qint64 m_step;
    qint64 m_pos = 0;
};

QStringList readAll(QIODevice &device, qsizetype inputSize)
{
    commandfile::Reader reader(device);
    QStringList fields;
    while (const auto field = reader.next()) {
        FUZZ_CHECK(field->size() <= 64 * 1024, "field of %lld characters", (long long)field->size());
        fields << *field;
        // Every field but an empty last one takes at least one byte.
        FUZZ_CHECK(fields.size() <= inputSize + 1, "%lld fields from %lld bytes",
                   (long long)fields.size(), (long long)inputSize);
    }
    return fields;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzzInput(data, size);

    // Reading any bytes, in small pieces and at once.
    QBuffer whole;
    whole.setData(bytes);
    whole.open(QIODevice::ReadOnly);
    const QStringList atOnce = readAll(whole, bytes.size());
    if (size > 0 && (data[0] & 0x80)) {
        Trickle trickle(bytes, 1 + data[0] % 16);
        const QStringList pieces = readAll(trickle, bytes.size());
        FUZZ_CHECK(atOnce == pieces, "%lld fields at once, %lld in pieces", (long long)atOnce.size(),
                   (long long)pieces.size());
    }

    // What the writer writes reads back the same.
    QList<SequenceValue> values;
    QStringList expected;
    for (const QByteArray &piece : bytes.split('\0')) {
        if (piece.startsWith('\1')) {
            int32_t n = 0;
            memcpy(&n, piece.mid(1, 4).leftJustified(4, '\0').constData(), 4);
            values << SequenceValue(int(n));
            expected << QString::number(n);
        } else if (piece.startsWith('\2')) {
            values << SequenceValue();
            expected << QString();
        } else {
            const QString text = QString::fromLatin1(QByteArray(piece).replace('"', ""));
            values << SequenceValue(text);
            expected << text.left(64 * 1024); // a longer field is not kept whole
        }
    }
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    commandfile::Writer writer(file);
    for (const SequenceValue &v : std::as_const(values))
        FUZZ_CHECK(writer.write(v), "a write to a buffer failed");
    file.close();
    file.open(QIODevice::ReadOnly);
    commandfile::Reader reader(file);
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const auto field = reader.next();
        FUZZ_CHECK(field.has_value(), "value %lld of %lld missing", (long long)i, (long long)expected.size());
        FUZZ_CHECK(*field == expected[i], "value %lld reads back as \"%s\", written \"%s\"", (long long)i,
                   qPrintable(*field), qPrintable(expected[i]));
    }
    FUZZ_CHECK(!reader.next().has_value(), "a field after the %lld written", (long long)expected.size());
    return 0;
}
