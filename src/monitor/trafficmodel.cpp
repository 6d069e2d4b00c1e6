#include "monitor/trafficmodel.h"

#include <QGuiApplication>
#include <QPalette>

#include <array>
#include <bit>
#include <cstring>
#include <string_view>

namespace monitor {
namespace {

constexpr char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

// A Latin-1 character case-folded, as QChar::toCaseFolded() folds it, but for "µ", which stays
// itself (it folds to the Greek mu, and no other Latin-1 character does).
constexpr char foldLatin1(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7) ? char(u + 0x20) : c;
}

std::string folded(const QByteArray &latin1)
{
    std::string out(latin1.constData(), size_t(latin1.size()));
    for (char &c : out)
        c = foldLatin1(c);
    return out;
}

bool isLatin1(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x100; });
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Finds a pattern in a text quickly whatever the text: eight places at a time are tested for
// the pattern's first and last character, and only those that have both are compared in full
// (the filter goes through every byte of every row). With `Caseless`, the text's Latin-1
// letters are folded as they are compared (the pattern is folded already).
template <bool Caseless>
class Finder {
public:
    static constexpr size_t npos = std::string_view::npos;
    explicit Finder(std::string_view pattern = {})
        : m_pattern(pattern), m_first(pattern.empty() ? 0 : spread(pattern.front())),
          m_last(pattern.empty() ? 0 : spread(pattern.back()))
    {
    }
    bool empty() const { return m_pattern.empty(); }

    size_t find(std::string_view text, size_t from = 0) const
    {
        const size_t m = m_pattern.size(), n = text.size();
        if (m == 0)
            return from <= n ? from : npos;
        const char *h = text.data();
        size_t i = from;
        for (; i + m - 1 + 8 <= n; i += 8) {
            quint64 hits = zeros(load(h + i) ^ m_first) & zeros(load(h + i + m - 1) ^ m_last);
            while (hits) {
                const size_t at = i + size_t(std::endian::native == std::endian::little ? std::countr_zero(hits)
                                                                                        : std::countl_zero(hits)) / 8;
                if (matchesAt(h + at))
                    return at;
                hits &= std::endian::native == std::endian::little ? hits - 1 : ~(quint64(0x80) << (56 - (at - i) * 8));
            }
        }
        for (; i + m <= n; ++i)
            if (matchesAt(h + i))
                return i;
        return npos;
    }

private:
    static constexpr quint64 kLow7 = 0x7F7F7F7F7F7F7F7FULL, kHigh = 0x8080808080808080ULL;
    static quint64 spread(char c) { return 0x0101010101010101ULL * static_cast<unsigned char>(c); }
    // Eight characters, folded with `Caseless` as foldLatin1() folds them: "A".."Z", and
    // 0xC0..0xDE but 0xD7, gain 0x20.
    static quint64 load(const char *p)
    {
        quint64 w;
        std::memcpy(&w, p, 8);
        if constexpr (Caseless) {
            const quint64 low = w & kLow7, top = w & kHigh;
            auto atLeast = [low](int c) { return (low + spread(char(0x80 - c))) & kHigh; };
            auto atMost = [low](int c) { return ~(low + spread(char(0x7F - c))) & kHigh; };
            const quint64 ascii = ~top & atLeast('A') & atMost('Z');
            const quint64 latin1 = top & atLeast(0x40) & atMost(0x5E) & ~zeros(low ^ spread(0x57));
            w |= (ascii | latin1) >> 2;
        }
        return w;
    }
    // The top bit of every byte that is zero.
    static quint64 zeros(quint64 w) { return ~(((w & kLow7) + kLow7) | w | kLow7); }
    bool matchesAt(const char *p) const
    {
        for (size_t j = 0; j < m_pattern.size(); ++j)
            if ((Caseless ? foldLatin1(p[j]) : p[j]) != m_pattern[j])
                return false;
        return true;
    }

    std::string m_pattern;
    quint64 m_first = 0, m_last = 0;
};

// The text cell of every byte, folded: one character for most, a name in brackets for the rest.
struct TextCells {
    std::array<char, 256> single{};               // 0: the byte has a name
    std::array<std::string, 256> named;
    TextCells()
    {
        for (int c = 0; c < 256; ++c) {
            const std::string cell = folded(plainText(QByteArray(1, char(c))).toLatin1());
            if (cell.size() == 1 && cell[0] != 0)
                single[size_t(c)] = cell[0];
            else
                named[size_t(c)] = cell;
        }
    }
};

} // namespace

// A filter text of Latin-1 characters, found in a cell as QString::contains(text,
// Qt::CaseInsensitive) finds it. Folding within Latin-1 is enough: no other character folds to
// one of the characters the cells compared here can hold, and frame texts that are not ASCII
// are compared as they are.
class TrafficModel::Needle {
public:
    explicit Needle(const QString &text) : m_text(folded(text.toLatin1())), m_finder(m_text)
    {
        for (int phase = 0; phase < 3; ++phase)
            addHexPhase(phase);
        for (const Dir d : {Dir::Out, Dir::In, Dir::Event})
            m_dirs[size_t(d)] = in(folded(dirText(d).toLatin1()));
    }

    bool in(std::string_view cell) const { return m_finder.find(cell) != std::string_view::npos; }
    bool inDir(Dir d) const { return m_dirs[size_t(d)]; }

    // Whether every byte is its own character in the text cell (no name in brackets): that
    // cell is then the bytes themselves.
    static bool plainBytes(const QByteArray &bytes)
    {
        return std::all_of(bytes.begin(), bytes.end(), [](char c) { return textCells().single[uchar(c)] != 0; });
    }

    // The text cell of `bytes`; made in `buffer` unless the bytes are plainBytes().
    bool inText(const QByteArray &bytes, bool plain, std::string &buffer) const
    {
        if (plain)
            return in(std::string_view(bytes.constData(), size_t(bytes.size())));
        const TextCells &cells = textCells();
        buffer.resize(size_t(bytes.size()) * 5);
        char *out = buffer.data();
        for (const char ch : bytes) {
            const auto c = static_cast<unsigned char>(ch);
            if (const char one = cells.single[c]) {
                *out++ = one;
            } else {
                const std::string &name = cells.named[c];
                out = std::copy(name.begin(), name.end(), out);
            }
        }
        return in(std::string_view(buffer.data(), size_t(out - buffer.data())));
    }

    // The hex cell of `bytes` ("2F 31 0D"), matched on the bytes themselves: where the text
    // starts within a byte's three characters fixes which nibbles of which bytes its digits are
    // and where its spaces fall.
    bool inHex(const QByteArray &bytes) const
    {
        const auto *b = reinterpret_cast<const unsigned char *>(bytes.constData());
        const qsizetype n = bytes.size();
        for (const HexPhase &p : m_hex) {
            auto matchesAt = [&](qsizetype k) {
                return std::all_of(p.checks.begin(), p.checks.end(),
                                   [&](const Check &c) { return (b[k + c.at] & c.mask) == c.value; });
            };
            if (n < p.span)
                continue;
            if (p.run.empty()) {
                for (qsizetype k = 0; k + p.span <= n; ++k)
                    if (matchesAt(k))
                        return true;
                continue;
            }
            const std::string_view hay(bytes.constData(), size_t(n));
            for (size_t at = p.run.find(hay); at != std::string_view::npos; at = p.run.find(hay, at + 1)) {
                const qsizetype k = qsizetype(at) - p.runAt;
                if (k + p.span > n)
                    break;
                if (k >= 0 && matchesAt(k))
                    return true;
            }
        }
        return false;
    }

private:
    struct Check {
        int at;
        unsigned char mask, value;
    };
    struct HexPhase {
        qsizetype span = 0; // bytes the text covers, a space needing the byte after it
        std::vector<Check> checks;
        Finder<false> run; // the longest stretch of whole bytes, found first
        qsizetype runAt = 0;
    };

    // The text starting `phase` characters into a byte's "HH ".
    void addHexPhase(int phase)
    {
        HexPhase p;
        std::vector<unsigned char> mask, value;
        for (size_t j = 0; j < m_text.size(); ++j) {
            const size_t at = (size_t(phase) + j) / 3, kind = (size_t(phase) + j) % 3;
            if (kind == 2) {
                if (m_text[j] != ' ')
                    return;
                p.span = std::max(p.span, qsizetype(at) + 2);
                continue;
            }
            const int d = hexDigit(m_text[j]);
            if (d < 0)
                return;
            mask.resize(std::max(mask.size(), at + 1)), value.resize(mask.size());
            mask[at] |= kind == 0 ? 0xF0 : 0x0F;
            value[at] |= kind == 0 ? d << 4 : d;
            p.span = std::max(p.span, qsizetype(at) + 1);
        }
        for (size_t i = 0; i < mask.size(); ++i)
            if (mask[i])
                p.checks.push_back({int(i), mask[i], value[i]});
        size_t runFrom = 0, runEnd = 0;
        for (size_t i = 0; i < mask.size();) {
            size_t end = i;
            while (end < mask.size() && mask[end] == 0xFF)
                ++end;
            if (end - i > runEnd - runFrom)
                runFrom = i, runEnd = end;
            i = std::max(end, i + 1);
        }
        const std::string run(value.begin() + qsizetype(runFrom), value.begin() + qsizetype(runEnd));
        p.run = Finder<false>(run);
        p.runAt = qsizetype(runFrom);
        m_hex.push_back(std::move(p));
    }

    static const TextCells &textCells()
    {
        static const TextCells cells;
        return cells;
    }

    std::string m_text;
    Finder<true> m_finder;
    std::vector<HexPhase> m_hex;
    std::array<bool, 3> m_dirs{};
};

TrafficModel::TrafficModel(TrafficStore &store, QObject *parent) : QAbstractTableModel(parent), m_store(store)
{
    m_end = m_store.firstSeq();
    m_searchFirst = m_store.firstSeq();
    m_timer.setSingleShot(true);
    m_timer.setInterval(kSyncMs);
    connect(&m_timer, &QTimer::timeout, this, &TrafficModel::sync);
    connect(&m_store, &TrafficStore::rowsAdded, this, [this] {
        if (!m_timer.isActive())
            m_timer.start();
    });
    connect(&m_store, &TrafficStore::cleared, this, &TrafficModel::reset);
    sync();
}

TrafficModel::~TrafficModel() = default;

int TrafficModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_shown.size()); }

int TrafficModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : ColumnCount; }

QString TrafficModel::cell(int row, int column) const
{
    const Row &r = rowAt(row);
    switch (column) {
    case Time: return m_store.timeText(r);
    case Delta: return deltaText(r.deltaUs);
    case Port: return m_store.portText(r);
    case Direction: return dirText(r.dir);
    case Hex: return showsBytes(r) ? hexText(r.bytes) : QString();
    case Text: return showsBytes(r) ? plainText(r.bytes) : QString();
    case Frame: return frameText(r);
    case ReplyMs: return replyMsText(r);
    default: return QString();
    }
}

QColor TrafficModel::problemColor(const QPalette &palette)
{
    // A third of the way from the base colour to the highlight: it stands out, and the text
    // colour that reads on the base still reads on it, in a light theme and a dark one.
    const QColor base = palette.color(QPalette::Base), mark = palette.color(QPalette::Highlight);
    auto mix = [](int a, int b) { return (a * 2 + b) / 3; };
    return QColor(mix(base.red(), mark.red()), mix(base.green(), mark.green()), mix(base.blue(), mark.blue()));
}

QVariant TrafficModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return QVariant();
    const int c = index.column();
    switch (role) {
    case Qt::DisplayRole: {
        // A long cell shows its start: the column has room for a few dozen bytes, and laying out
        // hundreds of characters for every painted row is most of what a babbling line costs.
        // The tooltip, the details pane, Copy and Save have the whole cell.
        QString text = cell(index.row(), c);
        if ((c == Hex || c == Text) && text.size() > kShownChars) {
            text.truncate(kShownChars);
            text += QChar(0x2026);
        }
        return text;
    }
    case Qt::ToolTipRole:
        if (c == Port)
            return m_store.portPath(rowAt(index.row()));
        if (c != Time && c != Delta && c != ReplyMs)
            return cell(index.row(), c);
        break;
    case Qt::TextAlignmentRole:
        if (c == Delta || c == ReplyMs)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        break;
    case Qt::BackgroundRole: {
        // Found once, as the row came in (catchUp), not again at every paint.
        const qint64 at = m_shown[size_t(index.row())] - m_searchFirst;
        const bool problem = at >= 0 && at < qint64(m_search.size()) ? m_search[size_t(at)].problem : isProblem(rowAt(index.row()));
        if (problem)
            return problemColor(QGuiApplication::palette());
        break;
    }
    default:
        break;
    }
    return QVariant();
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char *const titles[ColumnCount] = {"Time", "\u0394 ms", "Port", "Dir", "Hex", "Text", "Frame", "Reply ms"};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < ColumnCount)
        return QString::fromUtf8(titles[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TrafficModel::setPaused(bool paused)
{
    m_paused = paused;
    if (!paused)
        sync();
    else
        emit synced();
}

void TrafficModel::catchUp()
{
    const qint64 first = m_store.firstSeq();
    const auto gone = std::clamp<qint64>(first - m_searchFirst, 0, qint64(m_search.size()));
    m_search.erase(m_search.begin(), m_search.begin() + gone);
    m_searchFirst = m_search.empty() ? first : m_searchFirst + gone;
    for (qint64 seq = m_searchFirst + qint64(m_search.size()); seq < m_store.endSeq(); ++seq) {
        const Row &row = m_store.row(seq);
        Search s;
        s.problem = isProblem(row);
        s.plainBytes = Needle::plainBytes(row.bytes);
        s.frame = frameText(row).toUtf8();
        for (char &c : s.frame)
            s.plain = s.plain && uchar(c) < 0x80, c = foldAscii(c);
        // Rows close together often have the same frame text (the babble's "unframed", a
        // poll's command and reply): they share one copy.
        const auto same = std::find(m_recent.begin(), m_recent.end(), s.frame);
        if (same != m_recent.end())
            s.frame = *same;
        else
            m_recent[m_nextRecent++ % m_recent.size()] = s.frame;
        m_search.push_back(std::move(s));
    }
}

bool TrafficModel::acceptsExactly(const Row &r) const
{
    auto has = [this](const QString &cell) { return cell.contains(m_filter, Qt::CaseInsensitive); };
    if (showsBytes(r) && (has(hexText(r.bytes)) || has(plainText(r.bytes))))
        return true;
    return has(frameText(r)) || has(m_store.timeText(r)) || has(dirText(r.dir)) || has(m_store.portText(r))
        || has(deltaText(r.deltaUs)) || has(replyMsText(r));
}

bool TrafficModel::accepts(qint64 seq) const
{
    const Search &s = m_search[size_t(seq - m_searchFirst)];
    if (m_problemsOnly && !s.problem)
        return false;
    if (m_filter.isEmpty())
        return true;
    const Row &r = m_store.row(seq);
    if (!m_needle)
        return acceptsExactly(r);
    const Needle &n = *m_needle;
    if (s.plain ? n.in(std::string_view(s.frame.constData(), size_t(s.frame.size())))
                : frameText(r).contains(m_filter, Qt::CaseInsensitive))
        return true;
    char text[kDeltaChars];
    m_store.writeTime(r, text);
    if (n.in(std::string_view(text, 12)) || n.inDir(r.dir))
        return true;
    if (r.port != TrafficStore::kNoPort) {
        while (m_ports.size() <= r.port)
            m_ports.push_back(folded(m_store.portText(quint16(m_ports.size())).toLatin1()));
        if (n.in(m_ports[r.port]))
            return true;
    }
    if (n.in(std::string_view(text, size_t(writeDelta(r.deltaUs, text)))))
        return true;
    if (r.replyUs >= 0 && n.in(std::string_view(text, size_t(writeDelta(r.replyUs, text)))))
        return true;
    return showsBytes(r) && (n.inHex(r.bytes) || n.inText(r.bytes, s.plainBytes, m_buffer));
}

void TrafficModel::setFilter(const QString &text, bool problemsOnly)
{
    if (text == m_filter && problemsOnly == m_problemsOnly)
        return;
    beginResetModel();
    m_filter = text;
    m_problemsOnly = problemsOnly;
    m_needle = !text.isEmpty() && isLatin1(text) ? std::make_unique<Needle>(text) : nullptr;
    catchUp();
    m_shown.clear();
    for (qint64 seq = m_store.firstSeq(); seq < m_end; ++seq)
        if (accepts(seq))
            m_shown.push_back(seq);
    endResetModel();
    emit synced();
}

void TrafficModel::sync()
{
    m_timer.stop();
    // Rows the store has dropped leave the table, paused or not.
    const qint64 first = m_store.firstSeq();
    size_t gone = 0;
    while (gone < m_shown.size() && m_shown[gone] < first)
        ++gone;
    if (gone > 0) {
        beginRemoveRows(QModelIndex(), 0, int(gone - 1));
        m_shown.erase(m_shown.begin(), m_shown.begin() + qsizetype(gone));
        endRemoveRows();
    }
    m_end = std::max(m_end, first);
    catchUp();
    if (!m_paused && m_store.endSeq() > m_end) {
        std::vector<qint64> added;
        for (qint64 seq = m_end; seq < m_store.endSeq(); ++seq)
            if (accepts(seq))
                added.push_back(seq);
        m_end = m_store.endSeq();
        if (!added.empty()) {
            beginInsertRows(QModelIndex(), rowCount(), rowCount() + int(added.size()) - 1);
            m_shown.insert(m_shown.end(), added.begin(), added.end());
            endInsertRows();
        }
    }
    emit synced();
}

void TrafficModel::reset()
{
    beginResetModel();
    m_shown.clear();
    m_end = m_store.endSeq();
    m_search.clear();
    m_searchFirst = m_end;
    endResetModel();
    emit synced();
}

} // namespace monitor
