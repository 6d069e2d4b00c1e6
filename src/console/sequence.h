#pragma once
// The recorded sequence of row presses and its playback clock.
//
// RecordArray has 501 entries of three values each: never-set, a whole number, or a text.
// Column 0 holds the pressed row (or "" for the end marker, or a text read from a command file),
// column 1 the delay in 50 ms ticks since the previous entry.

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <variant>

using SequenceValue = std::variant<std::monostate, int, QString>;
using SequenceEntry = std::array<SequenceValue, 3>;
using SequenceTable = std::array<SequenceEntry, 501>;

namespace sequence {

// The value as text; a never-set value is "".
QString text(const SequenceValue &v);
// The value as a signed 16-bit number: never-set gives 0; a text that is not a whole number in
// range gives nullopt.
std::optional<int16_t> toInt16(const SequenceValue &v);

} // namespace sequence

// What the recorder needs of its window.
class SequenceSink {
public:
    virtual ~SequenceSink() = default;
    virtual void pressRow(int16_t row) = 0;
    virtual void setBarCaption(int index, const QString &caption) = 0;
    virtual void setBarEnabled(int index, bool enabled) = 0;
    virtual void enablePlayTimer() = 0;
    // The table is full: the recording has stopped itself after `presses` presses.
    virtual void sequenceFull(int presses) = 0;
};

// Record and playback state and transitions, free of widgets.
class SequenceRecorder {
public:
    // Presses and pauses go into entries 0 to 498; entry 499, the last one a command file keeps,
    // is left for the end marker. A recording that reaches it stops itself.
    static constexpr int kEndMarkerEntry = 499;
    // Longer waits than a 16-bit tick count can hold are recorded as pause entries
    // ("" and this delay), which playback waits through without pressing anything.
    static constexpr int16_t kMaxTicks = 32767;

    explicit SequenceRecorder(SequenceSink &sink) : m_sink(sink) {}

    // Bar buttons: index 2, 1 and 0.
    void recordButton();
    void playbackButton();
    void playEndlessButton();
    // The recording hook of a row press that passed the check.
    void storePress(int16_t row);
    // One 50 ms tick.
    void tick();

    SequenceTable RecordArray;
    int16_t RecordIndex = 0;
    int16_t TickCount = 0;
    bool Recording = false;
    bool Playing = false;
    bool PlayEndless = false;

private:
    void startRecording();
    void stopRecording();
    void startPlayback();
    void stopPlayback();
    void store(const SequenceValue &button);
    SequenceValue column(int entry, int col) const;

    SequenceSink &m_sink;
    int m_presses = 0;
};
