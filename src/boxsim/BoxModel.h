// A simulated set-top box: the box's side of the serial conversation, driven one byte at a time.
// It has no I/O, no threads and no clock: the caller passes every byte from the PC and the
// current time, and collects what the box sends with TakeOutput. Faults are injected from
// BoxConfig; whatever the PC does wrong is written to BoxReport::violations.
//
// Threading: not thread-safe; one caller drives an instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace vandrelux::boxsim {

// The box's own copy of the wire's bytes and limits, kept apart from the PC's on purpose: the
// simulator is an independent model of the box, so a mistake in the PC's constants shows as a
// disagreement on the wire instead of being shared by both sides.
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kSyn = 0x16;
inline constexpr std::uint8_t kReady = 0x19;
inline constexpr std::uint8_t kMark = 0x47;
inline constexpr std::uint8_t kHeaderType = 0xF1;
inline constexpr std::uint8_t kMoreType = 0xF2;
inline constexpr std::uint8_t kLastType = 0xF3;
inline constexpr std::uint8_t kBeacon1 = 0x80;
inline constexpr std::uint8_t kBeacon2 = 0x81;
inline constexpr std::uint8_t kBeacon3 = 0x82;

[[nodiscard]] constexpr bool IsFrameType(std::uint8_t byte) noexcept {
    return byte == kHeaderType || byte == kMoreType || byte == kLastType;
}

inline constexpr std::uint32_t kHeaderPayloadLen = 28;
inline constexpr std::uint32_t kMaxPayloadLen = 4096;
// A box that is refused this often in a row stops rather than loop for ever.
inline constexpr unsigned kMaxNaksPerFrame = 20;
// What a box in a reboot loop prints each time round when it has no banner of its own.
inline constexpr const char* kRebootLoopText = "booting...\r\n";

struct HeaderWords {
    std::uint32_t type = 0;
    std::uint32_t reserved = 0;
    std::uint32_t length = 0;
    std::uint32_t checksum = 0;
    std::uint32_t mode = 0;
    std::uint32_t address = 0;
    std::uint32_t param = 0;

    friend bool operator==(const HeaderWords&, const HeaderWords&) = default;
};

// An image the box accepted with a positive verdict.
struct StoredImage {
    HeaderWords header;
    std::vector<std::uint8_t> data;
};

struct BoxConfig {
    enum class Role { Accept, Send };
    Role role = Role::Accept;

    // Send role: the image to send and how.
    std::vector<std::uint8_t> image;  // as on the wire; the PC byte-swaps it into its target file
    HeaderWords sendHeader;           // length and checksum come from `image` unless overridden
    bool overrideHeader = false;      // send sendHeader exactly as given (a lying box)
    std::uint32_t blockSize = 4096;   // payload bytes per block, clamped to 1..4096
    bool markPerBlock = false;        // 0x47 in front of every block, not only once before the data

    // Faults.
    double nakShare = 0.0;         // Accept: refuse this share of valid frames anyway
    double corruptShare = 0.0;     // Send: corrupt one payload byte in this share of blocks sent
    std::string banner;            // printable text at power-on, before the box listens
    std::string chatter;           // printable text before the ready byte
    bool nakFirstVerdict = false;  // Accept: the first whole-image verdict is 0x15 regardless
    int silentAfterFrames = -1;    // once this many frames are handled the box sends nothing more
    int hangUpAfterFrames = -1;    // once this many frames are handled the box hangs up
    unsigned giveUpAfterNaks = kMaxNaksPerFrame;  // refusals of one frame in a row; 0 = never
    std::uint32_t seed = 1;                       // for the fault shares

    // Timing, in the caller's milliseconds.
    std::uint32_t settleMs = 100;         // Accept: 0x16 this soon after our 0x19 is a stale beacon
    std::uint32_t readyRepeatMs = 100;    // Send: repeat 0x16 this often until 0x80; 0 = never
    std::uint32_t beaconReanswerMs = 50;  // Send: a beacon still coming this long after our answer
                                          // means the answer was lost
    bool statusLines = true;              // print a plain text line after each whole-image verdict
    // Accept: the loader hears the beacon only this long after power-on, then boots what the
    // box has; 0 = it waits for ever.
    std::uint32_t listenMs = 0;
    // Once silent (from power-on without silentAfterFrames), the box reboots again and again:
    // its banner every this many ms, and no answer to anything. 0 = no loop.
    std::uint32_t rebootLoopMs = 0;
};

struct BoxReport {
    std::vector<StoredImage> images;
    unsigned naksSent = 0;      // every 0x15 the box sent, verdicts included
    unsigned naksReceived = 0;  // every 0x15 the box took as an answer to a frame
    unsigned resends = 0;       // frames repeated after a 0x15 (received in Accept, sent in Send)
    unsigned corrupted = 0;     // Send: block transmissions that carried a corrupted byte
    std::vector<std::string> violations;
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    unsigned framesIn = 0;
    unsigned framesOut = 0;
};

class BoxModel {
public:
    explicit BoxModel(BoxConfig config);

    // One byte from the PC.
    void OnByte(std::uint8_t byte, std::uint64_t nowMs);
    // How many of the PC's next bytes are payload of the frame being received, which OnPayload
    // takes as a run; 0 outside a payload.
    [[nodiscard]] std::size_t PayloadWanted() const noexcept;
    // At most PayloadWanted() bytes; the same as passing them one by one to OnByte, whose answer
    // to them is always nothing.
    void OnPayload(std::span<const std::uint8_t> bytes);
    // Time passes with no byte; drives the repeated ready byte.
    void OnIdle(std::uint64_t nowMs);
    // Bytes the box has sent since the last call, in order.
    [[nodiscard]] std::vector<std::uint8_t> TakeOutput();

    [[nodiscard]] bool HungUp() const noexcept { return m_phase == Phase::HungUp; }
    // Send: the PC's verdict on the image was 0x06. Accept: never; see ImagesAccepted.
    [[nodiscard]] bool Done() const noexcept { return m_phase == Phase::SendDone; }
    // Silent, hung up, finished or given up: the box will answer nothing more.
    [[nodiscard]] bool Stopped() const noexcept;
    // Accept: the power-on window passed without a beacon; the box booted without an update.
    [[nodiscard]] bool MissedBeacon() const noexcept { return m_phase == Phase::Booted; }
    [[nodiscard]] std::size_t ImagesAccepted() const noexcept { return m_report.images.size(); }
    [[nodiscard]] const BoxReport& Report() const noexcept { return m_report; }

private:
    enum class Phase {
        // Accept role.
        PoweredOff,
        Booted,  // no beacon in the power-on window
        WaitAnnounce,
        WaitHeader,
        WaitData,
        // Send role.
        WaitFirstBeacon,
        WaitSecondBeacon,
        WaitThirdBeacon,
        WaitHandshakeAck,
        WaitHeaderAnswer,
        WaitBlockAnswer,
        SendDone,
        Refused,
        // Either role.
        Silent,
        HungUp,
    };

    enum class FrameField { Mark, Type, Length, Payload, Checksum };

    void Tick(std::uint64_t nowMs);

    void AcceptByte(std::uint8_t byte, std::uint64_t nowMs);
    void AcceptFrameByte(std::uint8_t byte);
    void FinishReceivedFrame();
    void TakeHeader();
    void TakeData();
    void GiveVerdict();
    void AckFrame();
    void RefuseFrame();
    void NoteStray(std::uint8_t byte);

    void SendByte(std::uint8_t byte, std::uint64_t nowMs);
    void AnswerBeacon(std::uint8_t byte, std::uint64_t nowMs, Phase next);
    void ReanswerIfStale(std::uint8_t byte, std::uint64_t nowMs);
    void SendHeaderFrame();
    void SendBlock(bool withMark);
    void TakeHeaderAnswer(std::uint8_t byte);
    void TakeBlockAnswer(std::uint8_t byte);
    [[nodiscard]] bool HeaderIsHonest() const;
    [[nodiscard]] bool CountNak();

    void AfterFrame(unsigned frameCount);
    void Emit(std::uint8_t byte);
    void Emit(const std::vector<std::uint8_t>& bytes);
    void EmitText(const std::string& text);
    void Violation(std::string text);
    [[nodiscard]] bool Roll(double share);

    BoxConfig m_config;
    BoxReport m_report;
    std::vector<std::uint8_t> m_output;
    std::mt19937 m_rng;
    Phase m_phase = Phase::PoweredOff;

    // Accept role: the frame being read.
    FrameField m_field = FrameField::Mark;
    std::uint32_t m_fieldPos = 0;
    std::uint8_t m_frameType = 0;
    std::uint32_t m_frameLen = 0;
    std::uint32_t m_frameSum = 0;
    std::uint32_t m_frameChecksum = 0;
    std::vector<std::uint8_t> m_payload;
    std::vector<std::uint8_t> m_frameRaw;  // the whole frame as received, for resend checks
    std::vector<std::uint8_t> m_refusedFrame;
    bool m_expectResend = false;
    bool m_strayNoted = false;
    unsigned m_naksInRow = 0;
    std::uint64_t m_settleUntilMs = 0;
    bool m_verdictGiven = false;
    HeaderWords m_header;
    std::vector<std::uint8_t> m_image;

    // Send role.
    HeaderWords m_sentHeader;
    std::vector<std::uint8_t> m_headerFrame;
    std::vector<std::uint8_t> m_blockFrame;
    std::size_t m_blockStart = 0;
    std::uint32_t m_blockLen = 0;
    std::uint8_t m_blockType = 0;
    bool m_blockCorrupted = false;
    bool m_clockStarted = false;
    std::uint64_t m_nowMs = 0;  // as the caller last told it
    std::uint64_t m_powerOnMs = 0;
    std::uint64_t m_lastBannerMs = 0;
    std::uint64_t m_lastReadyMs = 0;
    std::uint8_t m_answeredBeacon = 0;
    std::uint64_t m_answeredMs = 0;
};

}  // namespace vandrelux::boxsim
