// Follows one port's transfer through its events: which file is on its way, every frame the
// other side acknowledged or refused, the verdicts on whole images. It turns them into events
// and progress for whoever watches the port, and into its image results, and it says when the box
// has refused one image more often than the run tolerates.
//
// Threading: the thread that drives the port, like the transfer it watches.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/TransferEvents.h"
#include "station/Events.h"
#include "station/Results.h"

namespace vandrelux::station {

class CTransferWatch final : public protocol::ITransferObserver {
public:
    // The SHA-256 of the update file an image going out was read from.
    using DigestOf =
        std::function<std::string(const std::shared_ptr<const std::vector<std::uint8_t>>&)>;

    // `retries`: refused verdicts tolerated per image before giving up. `digestOf`, where given,
    // gives each image sent its file's digest.
    CTransferWatch(IPortEvents& events, int retries, DigestOf digestOf = {});

    // A new unit on the same port: no images, nothing given up.
    void StartUnit();
    // The unit ended: an image still on its way keeps the time it had.
    void EndUnit();
    // The box of this unit has spoken up: it said it is ready, or an image is on its way.
    [[nodiscard]] bool Begun() const noexcept { return m_bBegun; }
    // Set once an image was refused more often than tolerated; says which and how often.
    [[nodiscard]] const std::optional<std::string>& GaveUp() const { return m_gaveUp; }
    [[nodiscard]] const std::vector<ImageResult>& Images() const { return m_images; }
    // Grows with every step the box takes the update on: a file accepted, a frame acknowledged,
    // a whole image judged.
    [[nodiscard]] std::uint64_t Progress() const noexcept { return m_progress; }
    // Frames the box refused in this unit.
    [[nodiscard]] int RefusedFrames() const noexcept { return m_refused; }

    void OnBoxReady() override { m_bBegun = true; }
    void OnImageStarted(const protocol::ImageInfo& image) override;
    void OnFrameAnswered(std::uint32_t frame, bool acknowledged, std::uint32_t done) override;
    void OnImageVerdict(bool accepted) override;
    void OnBlockAnswered(std::uint32_t frame, bool accepted, std::uint32_t received) override;
    void OnReceiveComplete(std::uint32_t received, std::uint32_t sum) override;
    void OnTransferEnded(const protocol::TransferOutcome& outcome) override;

private:
    void Frame(std::uint32_t index, bool acknowledged);
    void ShowProgress(std::uint64_t done);
    void Verdict(bool accepted);
    [[nodiscard]] ImageResult* Current();
    [[nodiscard]] double ImageSeconds() const;

    IPortEvents& m_events;
    int m_retries;
    DigestOf m_digestOf;

    protocol::Mode m_direction = protocol::Mode::None;
    bool m_bInImage = false;
    bool m_bBegun = false;
    std::uint64_t m_lastEventStep = 0;  // progress events go out once per step
    std::uint64_t m_announced = 0;      // the length a receive's header announced
    std::uint64_t m_progress = 0;
    int m_refused = 0;
    std::chrono::steady_clock::time_point m_imageStart;
    std::vector<ImageResult> m_images;
    std::string m_imageName;  // the current image's path as the operator named it
    std::optional<std::string> m_gaveUp;
};

}  // namespace vandrelux::station
