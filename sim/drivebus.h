#pragma once
// A bus of simulated REZizavur drives: fed the bytes a console writes, it answers with the
// bytes the drives would send back. Pure protocol logic: no port, no thread, no window.
//
// Framing
//   DT command:  "/" address body CR          -> FF "/" "0" status data ETX CR LF
//   OEM command: STX address "1" body ETX cs  -> STX "0" status data ETX cs
//   (cs = XOR of every byte from the STX to the ETX inclusive). The OEM frame is recognised by
//   state, never by scanning for CR: the byte after the ETX is always the checksum, whatever its
//   value. A frame with a wrong checksum, an address with no drive or an empty address gets no
//   reply. Bytes outside a frame are ignored; a "/" inside a DT frame starts a new one.
//
// Status character: 0x60 + error code while idle, 0x40 + error code while a program runs.
//   0  no error
//   2  invalid command: a letter the drive does not know, an "R" that is not the last command,
//      a "G" without its "g", or loops nested deeper than 4. Nothing of the string runs.
//   3  invalid operand: a number missing where one is needed, out of range, or given to a
//      command that takes none. Nothing of the string runs. A relative move that would leave
//      0..maxPosition stops the program when it is reached; the replies then carry code 3 until
//      the next command string is accepted.
//   15 a string that would run something arrived while a program runs; it is dropped.
//
// Commands (spaces are ignored; n is a decimal number):
//   An   move to absolute position n (0..maxPosition)
//   Pn   move n steps up;  Dn  move n steps down
//   Zn   home: travel down at most n steps; reaching 0 ends the homing at position 0
//   Vn   top velocity, steps per second (1..maxVelocity)
//   Mn   wait n milliseconds (0..30000)
//   g    loop start;  Gn  loop end, repeat n times in all (G0: for ever, until "T")
//   Jn   outputs (0..3)
//   Hn   halt: H or H0 waits for a following "R" string; H1/H2 wait until input 1/2 is active
//   bn   line rate n (9600, 19200, 38400, 57600, 115200 or 230400); applies after the reply
//   R    run: a string runs only when it ends in R (a string without R is checked and answered,
//        not run; "R" alone resumes a halted program)
//   T    terminate whatever runs, at once (answered while busy, never code 15)
//   Queries, answered at once, while busy too, and in the order given:
//   ?0   position        ?1 top velocity    ?2 outputs     ?3 inputs
//   ?4   loop passes left in the innermost running loop      ?5 programs run to the end
//   ?6   maxPosition     ?7 line rate       ?8 device ID   (any can be overridden)
//   &    version text (words separated by spaces, version word last), "?" when not validated
//   !    device ID text (holds the ID in decimal)
//   F    status only, no data
//   [ ]  enter update mode (normal / full); the answer is a bare "?", not a framed reply
//        (DriveConfig::updateModeAnswer)
//
// Update mode: every byte that follows is image data. Each 6 bytes get one reply character
// ("*"). The image is sent unpadded, so a shorter last block is counted once the line has
// been idle for updateShortBlockGapMs; it is answered and ends the update. Update mode also
// ends when the line has been idle for updateIdleExitMs (the drive starts its new firmware).
// An "Error" reply ends it too. The image is kept until the next update starts.
//
// Time: moves take distance / velocity, waits take their milliseconds, both multiplied by the
// time scale (0 makes every program instant). The clock is the monotonic clock unless a test
// sets its own (microseconds).

#include <QByteArray>
#include <QString>

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace sim {

// Faults injected on the whole bus.
struct Faults {
    bool silent = false;            // no reply to anything
    bool badChecksum = false;       // OEM replies carry a wrong checksum byte
    QByteArray noise;               // sent before every reply (empty: none)
    int errorAtBlock = 0;           // update mode: block N (from 1) answered with errorReply
    QByteArray errorReply = "Error";
    int silentFromBlock = 0;        // update mode: no reply to block N (from 1) and after
    qint64 hangUpAfterBytes = -1;   // the line hangs up once this many bytes were received
    int replyDelayMs = 0;           // every reply is held back this long
    int paceBaud = 0;               // replies leave at this rate, 10 bits a byte (0: at once);
                                    // a "b" command changes the rate while pacing is on
};

// What one drive is and knows.
struct DriveConfig {
    QByteArray versionText = "REZizavur V1.05";
    int deviceId = 291;
    QByteArray deviceIdText;        // reply to "!"; empty: "ID " + deviceId in decimal
    bool notValidated = false;      // answers "?" to "&"
    QByteArray updateModeAnswer = "?"; // answer to "[" and "]"; without a "?" first (spaces
                                       // aside) the drive stays out of update mode
    qint64 maxPosition = 1000000;
    int velocity = 1000;            // top velocity at power-up, steps per second
    int maxVelocity = 100000;
};

class Drive;

class DriveBus {
public:
    using Clock = std::function<qint64()>; // microseconds, monotonic

    DriveBus();
    ~DriveBus();
    DriveBus(const DriveBus &) = delete;
    DriveBus &operator=(const DriveBus &) = delete;

    // Bytes from the console. Returns the reply bytes due now; later ones come from poll().
    QByteArray feed(const QByteArray &bytes);
    // Runs what is due by the clock (delayed and paced replies, update-mode idle gaps) and
    // returns the bytes due now.
    QByteArray poll();
    // Clock time (us) of the next thing poll() will do, or -1 when nothing waits.
    qint64 nextEventUs() const;
    // True once the hang-up fault has struck: the line is to be closed; nothing more is read.
    bool hangUpRequested() const { return m_hungUp; }
    qint64 bytesReceived() const { return m_received; }
    qint64 bytesSent() const { return m_sent; }

    // Drives. The bus starts with one drive at address '1'.
    Drive &addDrive(char address, const DriveConfig &config = DriveConfig());
    void removeDrive(char address);
    void clearDrives();
    Drive *drive(char address);
    std::vector<char> addresses() const;

    Faults &faults() { return m_faults; }
    const Faults &faults() const { return m_faults; }

    void setClock(Clock clock);
    qint64 now() const { return m_clock(); }
    // Model time to clock time: 1 is real time, 0.01 a hundred times faster, 0 instant.
    void setTimeScale(double scale) { m_timeScale = scale < 0 ? 0 : scale; }
    double timeScale() const { return m_timeScale; }

    // The line rate: the rate pacing uses (paceBaud at first), changed by "b" commands.
    int lineBaud() const { return m_lineBaud; }

    // Update mode, for the whole bus (only one drive can take the image).
    bool inUpdateMode() const { return m_update != nullptr; }
    char updateAddress() const;
    bool updateIsFull() const { return m_updateFull; }
    QByteArray updateImage() const { return m_image; }
    int updateBlocks() const { return m_blocks; }
    int updateSessions() const { return m_sessions; }
    int updateShortBlockGapMs = 100;
    int updateIdleExitMs = 2000;
    QByteArray updateReply = "*";

    // Every complete command frame the bus recognised, raw, in order (for inspection).
    const std::vector<QByteArray> &commandLog() const { return m_log; }

private:
    friend class Drive;
    void handleDt(const QByteArray &frame);
    void handleOem(const QByteArray &frame);
    void handleCommand(char address, const QByteArray &body, bool oem);
    void handleUpdateByte(char c);
    void finishBlock();
    void checkUpdateTimers();
    void leaveUpdateMode();
    void queueReply(const QByteArray &bytes);
    void queueRaw(const QByteArray &bytes);
    QByteArray takeDue();
    qint64 scaledUs(double seconds) const;

    enum class Rx { Idle, Dt, OemBody, OemChecksum };
    Rx m_rx = Rx::Idle;
    QByteArray m_frame;

    std::map<char, std::unique_ptr<Drive>> m_drives;
    Faults m_faults;
    Clock m_clock;
    double m_timeScale = 1.0;
    int m_lineBaud = 9600;
    int m_lastPaceBaud = 0;

    Drive *m_update = nullptr;
    bool m_updateFull = false;
    QByteArray m_image;
    QByteArray m_block;
    int m_blocks = 0;
    int m_sessions = 0;
    qint64 m_lastByteUs = 0;

    struct Out {
        qint64 due;
        char byte;
    };
    std::deque<Out> m_out;
    qint64 m_lineFreeUs = 0;

    qint64 m_received = 0;
    qint64 m_sent = 0;
    bool m_hungUp = false;
    std::vector<QByteArray> m_log;
};

// One drive on the bus.
class Drive {
public:
    Drive(DriveBus &bus, char address, const DriveConfig &config);

    char address() const { return m_address; }
    DriveConfig &config() { return m_config; }

    // State, brought up to the clock first.
    qint64 position();
    bool busy();
    bool halted();
    int velocity() const { return m_velocity; }
    int outputs() const { return m_outputs; }
    int programsDone() const { return m_done; }
    int pendingError() const { return m_runError; }

    // Inputs 1 and 2 (bit 0 and bit 1); both active at power-up.
    void setInputs(int mask) { m_inputs = mask & 3; }
    int inputs() const { return m_inputs; }
    // Makes ?n answer this number (nullopt: the model's own value again).
    void overrideQuery(int n, std::optional<qint64> value);
    // Sets the position directly (stops nothing).
    void setPosition(qint64 position) { m_position = position; }

private:
    friend class DriveBus;
    enum class Op { MoveTo, MoveUp, MoveDown, Home, Velocity, Wait, LoopStart, LoopEnd, Outputs,
                    Halt, Baud };
    struct Step {
        Op op;
        qint64 n;
    };
    struct Parsed {
        int error = 0;               // 2 or 3 when the string is refused
        bool run = false;            // ends in R
        bool terminate = false;      // holds T
        std::vector<Step> program;   // what R runs
        QByteArray data;             // answers to the queries, in order
        bool bareQuestion = false;   // answer is a bare "?" instead of a framed reply
        int enterUpdate = 0;         // 1 "[", 2 "]"
        std::vector<int> queries;    // ?n as n, "&" as -1, "!" as -2
        bool wantVersion = false;
        int depth = 0;               // loops open
    };
    // A command letter and the decimal number after it.
    struct Token {
        char letter;
        qint64 n = 0;
        bool has = false;            // digits follow the letter
        bool overflow = false;       // more than 10 of them
    };

    Parsed parse(const QByteArray &body);
    // Reads the letter at i and its digits; i moves past them.
    static Token readToken(const QByteArray &body, int &i);
    // Adds one command to the parsed string; `last` when only spaces follow it.
    void parseToken(const Token &t, bool last, Parsed &p);
    QByteArray answerQuery(int n);
    // Runs the program up to the clock.
    void advance();
    // The current move or wait at clock time t: false while it lasts (a move's position follows
    // it), true once it has ended.
    bool finishStep(qint64 t);
    void beginStep(const Step &s);
    // A step of `us` clock microseconds from the program's cursor; false (and the step done)
    // when it takes no time.
    bool beginTimed(qint64 us);
    // A move to target; a target out of range stops the program with code 3.
    void beginMove(qint64 target);
    void endLoop(qint64 n);
    void start(std::vector<Step> program);
    void stop();
    qint64 queryValue(int n);

    DriveBus &m_bus;
    char m_address;
    DriveConfig m_config;

    qint64 m_position = 0;
    int m_velocity;
    int m_outputs = 0;
    int m_inputs = 3;
    int m_done = 0;
    int m_runError = 0;
    std::array<std::optional<qint64>, 9> m_overrides;

    // The running program.
    std::vector<Step> m_program;
    bool m_running = false;
    size_t m_pc = 0;
    qint64 m_stepEnd = 0;     // clock time the current step ends (when m_inStep)
    qint64 m_stepStart = 0;
    bool m_inStep = false;
    qint64 m_moveFrom = 0, m_moveTo = 0;
    bool m_haltForRun = false;
    int m_haltInput = 0;
    qint64 m_cursor = 0;      // clock time the program has reached
    struct Loop {
        size_t start;
        qint64 left;          // passes left after this one; -1 for ever
    };
    std::vector<Loop> m_loops;
};

} // namespace sim
