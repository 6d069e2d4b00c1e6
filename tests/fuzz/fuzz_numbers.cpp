// The text-to-number rules against a plain reference conversion.
//
// Input: a text, taken once as Latin-1 and once as UTF-8. The reference: blanks around the text
// (any character QChar::isSpace knows) are allowed; what remains must be an optional sign, digits with at most one point and at least
// one digit, and an optional exponent with at least one digit, all ASCII; then the C library's
// strtod (C locale) gives the value exactly, an infinity for an overflow and, for an underflow,
// the subnormal value or 0 it gives. Whole numbers round to nearest, ties to even, and must fit.
#include "fuzzing.h"

#include "app/numbers.h"

#include <QRegularExpression>

#include <clocale>
#include <cmath>
#include <locale.h>
#include <string>

namespace {

// The decimal text inside the blanks, or nothing when the text is no decimal.
std::optional<std::string> decimalCore(const QString &text)
{
    static const QRegularExpression decimal(
        QRegularExpression::anchoredPattern(QStringLiteral("[+-]?(?:[0-9]+\\.?[0-9]*|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?")));
    const QString core = text.trimmed();
    if (!decimal.match(core).hasMatch())
        return std::nullopt;
    return core.toStdString();
}

double referenceValue(const std::string &s)
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return strtod_l(s.c_str(), nullptr, c);
}

// Nearest whole number, ties to even, without the floating-point environment.
double roundHalfEven(double x)
{
    const double f = std::floor(x), d = x - f;
    if (d > 0.5)
        return f + 1;
    if (d < 0.5)
        return f;
    return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

template <typename T>
void checkWhole(const QString &text, std::optional<double> ref, const std::optional<T> &got, const char *name)
{
    std::optional<T> expected;
    if (ref && std::isfinite(*ref)) {
        const double r = roundHalfEven(*ref);
        if (r >= double(std::numeric_limits<T>::min()) && r <= double(std::numeric_limits<T>::max()))
            expected = T(r);
    }
    FUZZ_CHECK(got == expected, "%s(\"%s\") = %s, expected %s", name, qPrintable(text),
               got ? std::to_string(*got).c_str() : "not a number",
               expected ? std::to_string(*expected).c_str() : "not a number");
}

void check(const QString &text)
{
    const auto core = decimalCore(text);
    const std::optional<double> ref = core ? std::optional<double>(referenceValue(*core)) : std::nullopt;
    const auto got = numbers::toDouble(text);
    FUZZ_CHECK(got.has_value() == ref.has_value(), "toDouble(\"%s\") is %s", qPrintable(text),
               got ? "a number" : "not a number");
    if (got) {
        const bool same = *got == *ref || (std::isnan(*got) && std::isnan(*ref));
        FUZZ_CHECK(same && !std::isnan(*got), "toDouble(\"%s\") = %.17g, expected %.17g", qPrintable(text), *got,
                   *ref);
    }
    checkWhole<int16_t>(text, ref, numbers::toInt16(text), "toInt16");
    checkWhole<int32_t>(text, ref, numbers::toInt32(text), "toInt32");
    if (const auto n = numbers::toInt32(text)) {
        const QString written = numbers::signedWithBlank(*n);
        FUZZ_CHECK(numbers::toInt32(written) == n, "\"%s\" does not read back as %d", qPrintable(written), *n);
    }

    // Hex digits from the start up to the first other character, modulo 2^32.
    uint32_t hex = 0;
    for (qsizetype i = 0; i < text.size() && hexDigit(text[i].unicode()) >= 0; ++i)
        hex = hex * 16 + uint32_t(hexDigit(text[i].unicode()));
    FUZZ_CHECK(numbers::hexPrefix(text) == hex, "hexPrefix(\"%s\") = %u, expected %u", qPrintable(text),
               numbers::hexPrefix(text), hex);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzzInput(data, size);
    check(QString::fromLatin1(bytes));
    check(QString::fromUtf8(bytes));
    return 0;
}
