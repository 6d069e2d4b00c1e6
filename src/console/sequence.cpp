#include "console/sequence.h"

#include "app/numbers.h"

namespace sequence {

QString text(const SequenceValue &v)
{
    if (const int *n = std::get_if<int>(&v))
        return QString::number(*n);
    if (const QString *s = std::get_if<QString>(&v))
        return *s;
    return QString();
}

std::optional<int16_t> toInt16(const SequenceValue &v)
{
    if (std::holds_alternative<std::monostate>(v))
        return 0;
    if (const int *n = std::get_if<int>(&v))
        return int16_t(*n);
    return numbers::toInt16(std::get<QString>(v));
}

} // namespace sequence

namespace {
constexpr int kEndless = 0, kPlayback = 1, kRecord = 2;
} // namespace

SequenceValue SequenceRecorder::column(int entry, int col) const
{
    // Past the table's end there is nothing: as never-set, which ends a playback.
    if (entry < 0 || entry >= int(RecordArray.size()))
        return std::monostate{};
    return RecordArray[size_t(entry)][size_t(col)];
}

void SequenceRecorder::recordButton()
{
    if (Recording)
        stopRecording();
    else
        startRecording();
}

void SequenceRecorder::playbackButton()
{
    if (Playing)
        stopPlayback();
    else
        startPlayback();
}

void SequenceRecorder::playEndlessButton()
{
    if (Playing)
        return;
    PlayEndless = true;
    startPlayback();
}

void SequenceRecorder::startRecording()
{
    for (int k = 0; k < 500; ++k) {
        RecordArray[size_t(k)][0] = 0;
        RecordArray[size_t(k)][1] = 0;
    }
    Recording = true;
    Playing = false;
    TickCount = 0;
    m_sink.enablePlayTimer();
    RecordIndex = 0;
    m_presses = 0;
    m_sink.setBarCaption(kRecord, "Stop Recording");
    for (int i : {kPlayback, kEndless, 3, 4, 5})
        m_sink.setBarEnabled(i, false);
}

void SequenceRecorder::store(const SequenceValue &button)
{
    if (RecordIndex >= 0 && RecordIndex < int(RecordArray.size())) {
        RecordArray[size_t(RecordIndex)][0] = button;
        RecordArray[size_t(RecordIndex)][1] = int(TickCount);
    }
    TickCount = 0;
    RecordIndex = int16_t(RecordIndex + 1);
}

void SequenceRecorder::storePress(int16_t row)
{
    if (!Recording)
        return;
    store(int(row));
    ++m_presses;
    if (RecordIndex >= kEndMarkerEntry) {
        stopRecording();
        m_sink.sequenceFull(m_presses);
    }
}

void SequenceRecorder::stopRecording()
{
    Recording = false;
    store(QString());
    m_sink.setBarCaption(kRecord, "Record");
    for (int i : {kPlayback, kEndless, 3, 4, 5})
        m_sink.setBarEnabled(i, true);
}

void SequenceRecorder::startPlayback()
{
    Recording = false;
    Playing = true;
    TickCount = 0;
    m_sink.enablePlayTimer();
    RecordIndex = 0;
    m_sink.setBarCaption(kPlayback, "Stop Playback");
    for (int i : {kRecord, kEndless, 3, 4, 5})
        m_sink.setBarEnabled(i, false);
}

void SequenceRecorder::stopPlayback()
{
    Playing = false;
    m_sink.setBarCaption(kPlayback, "Play");
    for (int i : {kRecord, kEndless, 3, 4, 5})
        m_sink.setBarEnabled(i, true);
    PlayEndless = false;
}

void SequenceRecorder::tick()
{
    if (Recording) {
        if (m_presses == 0 && TickCount >= kMaxTicks - 1) {
            // The wait before the first press is never replayed: no need to keep it whole.
            TickCount = kMaxTicks - 1;
        } else {
            TickCount = int16_t(TickCount + 1);
        }
        if (TickCount == kMaxTicks) {
            // Split the wait: a pause entry takes all but one tick of it.
            TickCount = kMaxTicks - 1;
            store(QString());
            TickCount = 1;
            if (RecordIndex >= kEndMarkerEntry) {
                stopRecording();
                m_sink.sequenceFull(m_presses);
            }
        }
    }
    if (!Playing)
        return;
    if (TickCount == 0) {
        const SequenceValue v = column(RecordIndex, 0);
        // A button text that is not a row number (hand-edited) presses nothing, like a pause.
        if (!sequence::text(v).isEmpty())
            if (const auto row = sequence::toInt16(v))
                m_sink.pressRow(*row);
        RecordIndex = int16_t(RecordIndex + 1);
        // A delay that is not a whole number, or is negative, ends the sequence.
        const auto delay = sequence::toInt16(column(RecordIndex, 1));
        TickCount = delay && *delay > 0 ? *delay : 0;
        if (TickCount == 0) {
            if (!PlayEndless) {
                Playing = false;
                m_sink.setBarCaption(kPlayback, "Play");
                for (int i : {kRecord, kEndless, 3, 4, 5})
                    m_sink.setBarEnabled(i, true);
            } else {
                RecordIndex = 0;
            }
        }
    }
    if (TickCount > 0)
        TickCount = int16_t(TickCount - 1);
}
