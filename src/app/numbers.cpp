#include "app/numbers.h"

#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace numbers {

std::optional<double> toDouble(const QString &text)
{
    static const QRegularExpression decimal(QStringLiteral(R"(^[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$)"));
    const QString t = text.trimmed();
    if (!decimal.match(t).hasMatch())
        return std::nullopt;
    bool ok = false;
    const double value = t.toDouble(&ok);
    // Qt refuses a decimal beyond the double's range: too large it gives an infinity, too small
    // zero. Both are still numbers; only texts that are not decimals are not.
    return ok || std::isinf(value) ? value : 0.0;
}

namespace {

std::optional<double> toWhole(const QString &text)
{
    const auto value = toDouble(text);
    if (!value || !std::isfinite(*value))
        return std::nullopt;
    return std::nearbyint(*value); // default rounding mode: nearest, ties to even
}

template <typename T>
std::optional<T> ranged(const QString &text)
{
    const auto whole = toWhole(text);
    if (!whole || *whole < double(std::numeric_limits<T>::min())
        || *whole > double(std::numeric_limits<T>::max()))
        return std::nullopt;
    return static_cast<T>(*whole);
}

} // namespace

std::optional<int16_t> toInt16(const QString &text) { return ranged<int16_t>(text); }
std::optional<int32_t> toInt32(const QString &text) { return ranged<int32_t>(text); }

uint32_t hexPrefix(const QString &text)
{
    uint32_t value = 0;
    for (const QChar c : text) {
        const int digit = QStringLiteral("0123456789abcdef").indexOf(c.toLower());
        if (digit < 0)
            break;
        value = value * 16 + uint32_t(digit);
    }
    return value;
}

QString signedWithBlank(long long value)
{
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

} // namespace numbers
