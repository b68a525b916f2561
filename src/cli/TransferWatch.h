// Follows one port's transfer from the outside: which file is on its way, every frame the
// other side acknowledged or refused, the verdicts on whole images. It turns what it sees
// into events and progress on the console and into the port's image results, and it says
// when the box has refused one image more often than the run tolerates.
//
// Threading: the worker's loop thread only, like the transfer it watches.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "cli/Report.h"
#include "protocol/Transfer.h"

namespace vandrelux::cli {

class CTransferWatch {
public:
    // `retries`: refused verdicts tolerated per image before giving up.
    CTransferWatch(const protocol::CTransfer& transfer, CConsole& console, std::size_t port,
                   int retries);

    // Before and after the transfer handles each byte from the box.
    void BeforeByte();
    void AfterByte(std::uint8_t ch);
    // A single-byte answer the transfer sends to the box.
    void OnAnswer(std::uint8_t b);

    // Set once an image was refused more often than tolerated; says which and how often.
    [[nodiscard]] const std::optional<std::string>& GaveUp() const { return m_gaveUp; }
    [[nodiscard]] const std::vector<ImageResult>& Images() const { return m_images; }

private:
    void AfterDownloadByte(std::uint8_t ch);
    void AfterReceiveByte();
    void StartImage(std::string kind, std::string path, std::uint64_t size, std::uint32_t checksum);
    void Frame(std::uint32_t index, bool acknowledged);
    void ShowProgress(std::uint64_t done);
    void Verdict(bool accepted);
    [[nodiscard]] ImageResult* Current();
    [[nodiscard]] double ImageSeconds() const;

    const protocol::CTransfer& m_transfer;
    CConsole& m_console;
    std::size_t m_port;
    int m_retries;

    std::uint32_t m_stateBefore = 0;
    bool m_bInImage = false;
    std::uint32_t m_frame = 0;          // the frame the other side answers next; 0 is the header
    std::uint64_t m_lastEventStep = 0;  // progress events go out once per step
    std::chrono::steady_clock::time_point m_imageStart;
    std::vector<ImageResult> m_images;
    std::optional<std::string> m_gaveUp;
};

// The byte sum of a file, as a header frame carries it; nothing when it cannot be read.
[[nodiscard]] std::optional<std::uint32_t> FileByteSum(const std::string& path);

}  // namespace vandrelux::cli
